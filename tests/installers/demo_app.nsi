; The NSIS installer of Demo App, version 2: per-user, silent with /S, its folder from /D=.
; It records what it received, in the file named by the environment variable DEMO_INSTALLER_RECORD,
; replaces demo_app.exe and starts it again at its end, as an updater's installer does.
; With -DLAUNCHER=... it also carries reinstall.exe, as an application that ships the launcher in
; its own folder does, and records whether it could replace it.
; makensis -DTARGET=x86-unicode|amd64-unicode -DOUTFILE=... -DAPP=... (the version 2 demo_app.exe)
;          -DREADME=... [-DLAUNCHER=...] demo_app.nsi
Target ${TARGET}
Name "Demo App"
OutFile "${OUTFILE}"
RequestExecutionLevel user
InstallDir "$LOCALAPPDATA\Demo App"

Section
  SetOutPath "$INSTDIR"
  ClearErrors
  File "/oname=demo_app.exe" "${APP}"
  StrCpy $2 "1"
  IfErrors 0 +2
    StrCpy $2 "0"
  File "/oname=readme.txt" "${README}"
  StrCpy $3 "-"
!ifdef LAUNCHER
  ClearErrors
  File "/oname=reinstall.exe" "${LAUNCHER}"
  StrCpy $3 "1"
  IfErrors 0 +2
    StrCpy $3 "0"
!endif
  ReadEnvStr $1 DEMO_INSTALLER_RECORD
  FileOpen $0 "$1.partial" w
  FileWrite $0 "installer=nsis$\n"
  FileWrite $0 "instdir=$INSTDIR$\n"
  FileWrite $0 "replaced=$2$\n"
  FileWrite $0 "launcher_replaced=$3$\n"
  FileWrite $0 "cmdline=$CMDLINE$\n"
  FileClose $0
  Rename "$1.partial" "$1"  ; whole, so that a reader never sees half a record
  Exec '"$INSTDIR\demo_app.exe" --relaunched'
SectionEnd
