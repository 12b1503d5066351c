module example.com/myapp

go 1.19

require reinstall.example/handover v1.0.0
