; vo's Windows installer: a per-machine install into Program Files\vo with a Start-menu entry, and
; optionally a start at sign-in and the unattended-access service; its uninstaller removes all of it.
; Built by scripts/dist.sh:
;   makensis -DVERSION=0.1.0+g... -DVERSION4=0.1.0.0 -DSTAGE=<folder with the files> -DICON=<vo.ico>
;            -DWELCOME=<164x314 bmp> -DOUTFILE=<setup.exe> vo.nsi
; Silent use: setup.exe /S [/AUTOSTART] [/SERVICE] [/D=<folder>]   uninstall.exe /S [/REMOVEDATA]
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
ManifestDPIAware true
RequestExecutionLevel admin

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include Sections.nsh

!define PUBLISHER "The vo developers"
!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\vo"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define SERVICE_KEY "SYSTEM\CurrentControlSet\Services\vo_server"

Name "vo"
Caption "vo ${VERSION} Setup"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\vo"
InstallDirRegKey HKLM "${UNINST_KEY}" "InstallLocation"
BrandingText "vo ${VERSION}"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION4}"
VIFileVersion "${VERSION4}"
VIAddVersionKey /LANG=1033 "ProductName" "vo remote desktop"
VIAddVersionKey /LANG=1033 "FileDescription" "vo remote desktop setup"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Copyright (c) The vo developers. MIT licence."
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_WELCOMEFINISHPAGE_BITMAP "${WELCOME}"
!define MUI_UNWELCOMEFINISHPAGE_BITMAP "${WELCOME}"
!define MUI_ABORTWARNING
!define MUI_COMPONENTSPAGE_SMALLDESC
!define MUI_FINISHPAGE_NOAUTOCLOSE
!define MUI_UNFINISHPAGE_NOAUTOCLOSE

!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_LICENSE "${STAGE}\LICENSE.txt"
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_UNPAGE_FINISH

!insertmacro MUI_LANGUAGE "English"

; ---------------------------------------------------------------- install

Section "vo (required)" SecCore
  SectionIn RO
  Call StopRunning
  SetOutPath "$INSTDIR"
  File "${STAGE}\vo_app.exe"
  File "${STAGE}\vo_server.exe"
  File "${STAGE}\vo_client.exe"
  File "${STAGE}\README.txt"
  File "${STAGE}\LICENSE.txt"
  File "${STAGE}\THIRD-PARTY.txt"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortcut "$SMPROGRAMS\vo.lnk" "$INSTDIR\vo_app.exe" "" "$INSTDIR\vo_app.exe" 0 \
                 SW_SHOWNORMAL "" "vo remote desktop"

  WriteRegStr HKLM "${UNINST_KEY}" "DisplayName" "vo remote desktop"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINST_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayIcon" "$INSTDIR\vo_app.exe,0"
  WriteRegStr HKLM "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINST_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  IntFmt $0 "0x%08X" $0
  WriteRegDWORD HKLM "${UNINST_KEY}" "EstimatedSize" $0
SectionEnd

Section /o "Start vo when I sign in" SecAutostart
  WriteRegStr HKLM "${RUN_KEY}" "vo" '"$INSTDIR\vo_app.exe"'
SectionEnd

Section /o "Install the unattended-access service" SecService
  ReadRegStr $0 HKLM "${SERVICE_KEY}" "ImagePath"
  ${If} $0 != ""
    DetailPrint "The vo_server service is already installed; it is kept as it is."
  ${Else}
    DetailPrint "Installing the vo_server service (starts with Windows)"
    nsExec::ExecToLog '"$INSTDIR\vo_server.exe" -install'
    Pop $0
    ${If} $0 != 0
      MessageBox MB_ICONEXCLAMATION "The vo_server service could not be installed (exit status $0)." /SD IDOK
    ${EndIf}
  ${EndIf}
SectionEnd

; Components left out on this run are taken away if an earlier install had them.
Section "-Unselected"
  ${IfNot} ${SectionIsSelected} ${SecAutostart}
    DeleteRegValue HKLM "${RUN_KEY}" "vo"
  ${EndIf}
  ${IfNot} ${SectionIsSelected} ${SecService}
    ReadRegStr $0 HKLM "${SERVICE_KEY}" "ImagePath"
    ${If} $0 != ""
      nsExec::ExecToLog '"$INSTDIR\vo_server.exe" -uninstall'
      Pop $0
    ${EndIf}
  ${EndIf}
SectionEnd

!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${SecCore} "The desktop app, the console host and the console viewer, and a Start-menu entry."
  !insertmacro MUI_DESCRIPTION_TEXT ${SecAutostart} "Starts the vo app for every user when they sign in, so this computer can be reached by its ID."
  !insertmacro MUI_DESCRIPTION_TEXT ${SecService} "Registers vo_server as a Windows service that starts with Windows (vo_server -install)."
!insertmacro MUI_FUNCTION_DESCRIPTION_END

Function .onInit
  SetShellVarContext all
  SetRegView 64
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "Admin"
    MessageBox MB_ICONSTOP "vo is installed for every user of this computer: run the setup as an administrator." /SD IDOK
    SetErrorLevel 740
    Quit
  ${EndIf}
  ; An earlier install's choices stay selected; /AUTOSTART and /SERVICE select them on the command line.
  ${GetParameters} $R0
  ReadRegStr $0 HKLM "${RUN_KEY}" "vo"
  ClearErrors
  ${GetOptions} $R0 "/AUTOSTART" $1
  ${If} $0 != ""
  ${OrIfNot} ${Errors}
    !insertmacro SelectSection ${SecAutostart}
  ${EndIf}
  ReadRegStr $0 HKLM "${SERVICE_KEY}" "ImagePath"
  ClearErrors
  ${GetOptions} $R0 "/SERVICE" $1
  ${If} $0 != ""
  ${OrIfNot} ${Errors}
    !insertmacro SelectSection ${SecService}
  ${EndIf}
FunctionEnd

; An update replaces programs that may be running: stop the service (it stays installed and
; starts again with Windows) and close the app.
Function StopRunning
  ReadRegStr $0 HKLM "${SERVICE_KEY}" "ImagePath"
  ${If} $0 != ""
    nsExec::ExecToLog '"$SYSDIR\sc.exe" stop vo_server'
    Pop $0
    ; Until the service's process has let go of the program file (at most 15 s).
    StrCpy $1 0
    ${IfNot} ${FileExists} "$INSTDIR\vo_server.exe"
      StrCpy $1 30
    ${EndIf}
    ${DoWhile} $1 < 30
      ClearErrors
      FileOpen $2 "$INSTDIR\vo_server.exe" a
      ${IfNot} ${Errors}
        FileClose $2
        ${Break}
      ${EndIf}
      Sleep 500
      IntOp $1 $1 + 1
    ${Loop}
  ${EndIf}
  nsExec::Exec '"$SYSDIR\taskkill.exe" /F /IM vo_app.exe'
  Pop $0
FunctionEnd

; ---------------------------------------------------------------- uninstall

Section "un.vo" SecUnCore
  SectionIn RO
  ; The service first: stop it and mark it for removal, then wait until the manager has let it go,
  ; so no vo_server.exe is left running from the folder about to be removed.
  ReadRegStr $0 HKLM "${SERVICE_KEY}" "ImagePath"
  ${If} $0 != ""
    DetailPrint "Stopping and removing the vo_server service"
    nsExec::ExecToLog '"$INSTDIR\vo_server.exe" -uninstall'
    Pop $0
    StrCpy $1 0
    ${Do}
      ReadRegStr $0 HKLM "${SERVICE_KEY}" "ImagePath"
      ${If} $0 == ""
        ${Break}
      ${EndIf}
      IntOp $1 $1 + 1
      ${If} $1 > 30
        DetailPrint "The service is still registered; it goes at the next restart."
        ${Break}
      ${EndIf}
      Sleep 500
    ${Loop}
  ${EndIf}
  nsExec::Exec '"$SYSDIR\taskkill.exe" /F /IM vo_app.exe'
  Pop $0

  Delete /REBOOTOK "$INSTDIR\vo_app.exe"
  Delete /REBOOTOK "$INSTDIR\vo_server.exe"
  Delete /REBOOTOK "$INSTDIR\vo_client.exe"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$INSTDIR\THIRD-PARTY.txt"
  Delete "$INSTDIR\uninstall.exe"
  RMDir /REBOOTOK "$INSTDIR"
  Delete "$SMPROGRAMS\vo.lnk"
  DeleteRegValue HKLM "${RUN_KEY}" "vo"
  DeleteRegKey HKLM "${UNINST_KEY}"
SectionEnd

Section /o "un.Remove this computer's ID and vo's data" SecUnData
  ; The host's ID and password file and the service log (every user), then the viewer's tile
  ; cache and the app's history of the user who runs the uninstaller.
  RMDir /r "$APPDATA\vo"
  Delete "$APPDATA\vo_server.log"
  SetShellVarContext current
  RMDir /r "$LOCALAPPDATA\vo"
  SetShellVarContext all
SectionEnd

!insertmacro MUI_UNFUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${SecUnCore} "The programs, the Start-menu entry, the start at sign-in and the service."
  !insertmacro MUI_DESCRIPTION_TEXT ${SecUnData} "Also this computer's ID (others know it by that number), its password file and logs, and your viewer cache and history. Left out, a later install keeps the same ID."
!insertmacro MUI_UNFUNCTION_DESCRIPTION_END

Function un.onInit
  SetShellVarContext all
  SetRegView 64
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "Admin"
    MessageBox MB_ICONSTOP "Run the uninstaller as an administrator." /SD IDOK
    SetErrorLevel 740
    Quit
  ${EndIf}
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/REMOVEDATA" $1
  ${IfNot} ${Errors}
    !insertmacro SelectSection ${SecUnData}
  ${EndIf}
FunctionEnd
