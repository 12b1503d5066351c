module reinstall.example/handover

go 1.19
