; Installer of traybridge for 64-bit Windows. scripts/package-windows.sh
; builds it with:
;   VERSION  the program version
;   STAGE    folder with traybridge.exe, its DLLs and plug-ins, ctlrunner.exe, plugin-client.exe
;   SERVICE  the procwarden.exe to install as the service
;   FILES    include file with the File and Delete lines of the staged files
;   OUTFILE  the setup program to write
;
; Silent mode: setup.exe /S [/WEBUI_BAT=...] [/PYTHON=...] [/PLUGIN_PROGRESS=...]
; [/PLUGIN_TCP=...] [/D=folder]. A setting not given keeps what the registry holds.
; Exit codes: 0 done, 1 cancelled, 2 failed (bad option, service not registered).

Unicode true
Target amd64-unicode
ManifestSupportedOS all
ManifestDPIAware true
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!include MUI2.nsh
!include nsDialogs.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include "${FILES}"

!define PRODUCT "traybridge"
!define SERVICE_NAME "stable diffusion service"
!define SETTINGS_KEY "SOFTWARE\Cinema4DPluginSettings"
!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\traybridge"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
; The settings reader takes at most 254 characters.
!define MAX_SETTING 254

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
InstallDirRegKey HKLM "${UNINST_KEY}" "InstallLocation"
BrandingText "${PRODUCT} ${VERSION}"
VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "${PRODUCT} setup"
VIAddVersionKey "LegalCopyright" "traybridge developers"

Var WebUiBat
Var Python
Var PluginProgress
Var PluginTcp
; Controls of the settings pages
Var Field1
Var Field2
Var ServiceError

!define MUI_ABORTWARNING
!define MUI_ICON "${NSISDIR}\Contrib\Graphics\Icons\modern-install.ico"
!define MUI_UNICON "${NSISDIR}\Contrib\Graphics\Icons\modern-uninstall.ico"

!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_DIRECTORY
Page custom WebUiPage WebUiPageLeave
Page custom PluginPage PluginPageLeave
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_TEXT "Start traybridge now"
!define MUI_FINISHPAGE_RUN_FUNCTION StartTray
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "English"

; ---------------------------------------------------------------- service

; Stops the service when it is installed and waits until it has stopped.
!macro STOP_SERVICE UN
Function ${UN}StopService
    Push $0
    Push $1
    Push $2
    Push $3
    Push $4
    System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 0xF003F) p .r0'
    ${If} $0 P<> 0
        ; SERVICE_STOP | SERVICE_QUERY_STATUS
        System::Call 'advapi32::OpenServiceW(p r0, w "${SERVICE_NAME}", i 0x24) p .r1'
        ${If} $1 P<> 0
            System::Call '*(i, i, i, i, i, i, i) p .r2'
            System::Call 'advapi32::ControlService(p r1, i 1, p r2) i'
            ; The service notices the stop within its 3-second poll.
            StrCpy $4 0
            ${Do}
                System::Call 'advapi32::QueryServiceStatus(p r1, p r2) i .r3'
                ${If} $3 = 0
                    ${Break}
                ${EndIf}
                System::Call '*$2(i, i .r3)'
                ${If} $3 = 1 ; SERVICE_STOPPED
                    ${Break}
                ${EndIf}
                IntOp $4 $4 + 1
                ${If} $4 > 120
                    DetailPrint "The service did not stop within 30 seconds."
                    ${Break}
                ${EndIf}
                Sleep 250
            ${Loop}
            System::Free $2
            System::Call 'advapi32::CloseServiceHandle(p r1)'
        ${EndIf}
        System::Call 'advapi32::CloseServiceHandle(p r0)'
    ${EndIf}
    Pop $4
    Pop $3
    Pop $2
    Pop $1
    Pop $0
FunctionEnd
!macroend
!insertmacro STOP_SERVICE ""
!insertmacro STOP_SERVICE "un."

; Registers the installed procwarden.exe as the service with automatic start
; (or points an existing registration at it) and starts it. ServiceError is
; empty on success, else the reason.
Function InstallService
    StrCpy $ServiceError ""
    System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 0xF003F) p .r0 ?e'
    Pop $2
    ${If} $0 P= 0
        StrCpy $ServiceError "cannot be registered: no access to the service manager (error $2)"
        Return
    ${EndIf}
    ; Quoted, as the folder may hold spaces.
    StrCpy $4 '"$INSTDIR\procwarden.exe"'
    ; SERVICE_ALL_ACCESS, own process, automatic start, normal errors, LocalSystem
    System::Call 'advapi32::CreateServiceW(p r0, w "${SERVICE_NAME}", w "${SERVICE_NAME}", i 0xF01FF, i 0x10, i 2, i 1, w r4, p 0, p 0, p 0, p 0, p 0) p .r1 ?e'
    Pop $2
    ${If} $1 P= 0
    ${AndIf} $2 = 1073 ; ERROR_SERVICE_EXISTS: an earlier install
        System::Call 'advapi32::OpenServiceW(p r0, w "${SERVICE_NAME}", i 0xF01FF) p .r1 ?e'
        Pop $2
        ${If} $1 P<> 0
            System::Call 'advapi32::ChangeServiceConfigW(p r1, i 0x10, i 2, i 1, w r4, p 0, p 0, p 0, p 0, p 0, w "${SERVICE_NAME}") i .r3 ?e'
            Pop $2
            ${If} $3 = 0
                StrCpy $ServiceError "cannot be registered (error $2)"
            ${EndIf}
        ${EndIf}
    ${EndIf}
    ${If} $1 P= 0
        StrCpy $ServiceError "cannot be registered (error $2)"
    ${ElseIf} $ServiceError == ""
        System::Call 'advapi32::StartServiceW(p r1, i 0, p 0) i .r3 ?e'
        Pop $2
        ; ERROR_SERVICE_ALREADY_RUNNING counts as started
        ${If} $3 = 0
        ${AndIf} $2 <> 1056
            StrCpy $ServiceError "cannot be started (error $2)"
        ${EndIf}
    ${EndIf}
    ${If} $1 P<> 0
        System::Call 'advapi32::CloseServiceHandle(p r1)'
    ${EndIf}
    System::Call 'advapi32::CloseServiceHandle(p r0)'
FunctionEnd

Function un.DeleteService
    Push $0
    Push $1
    System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 0xF003F) p .r0'
    ${If} $0 P<> 0
        ; DELETE
        System::Call 'advapi32::OpenServiceW(p r0, w "${SERVICE_NAME}", i 0x10000) p .r1'
        ${If} $1 P<> 0
            System::Call 'advapi32::DeleteService(p r1) i'
            System::Call 'advapi32::CloseServiceHandle(p r1)'
        ${EndIf}
        System::Call 'advapi32::CloseServiceHandle(p r0)'
    ${EndIf}
    Pop $1
    Pop $0
FunctionEnd

; Ends every running traybridge.exe, so that its files can be replaced or removed.
!macro END_TRAY UN
Function ${UN}EndTray
    nsExec::Exec '"$SYSDIR\taskkill.exe" /F /IM traybridge.exe'
    Pop $0
FunctionEnd
!macroend
!insertmacro END_TRAY ""
!insertmacro END_TRAY "un."

; ---------------------------------------------------------------- settings

; Takes a setting from the argument in $7 when it is OPTION: OPTION VAR
!macro OPTION_SETTING OPTION VAR
    StrLen $8 "${OPTION}"
    StrCpy $9 $7 $8
    ${If} $9 == "${OPTION}"
        StrCpy $9 $7 "" $8
        ; No path holds a quote: quotes left around the value go.
        StrCpy $6 $9 1
        ${If} $6 == '"'
            StrCpy $9 $9 "" 1
        ${EndIf}
        StrCpy $6 $9 "" -1
        ${If} $6 == '"'
            StrCpy $9 $9 -1
        ${EndIf}
        ${If} $9 != ""
            StrCpy ${VAR} $9
        ${EndIf}
    ${EndIf}
!macroend

; Takes the settings given on the command line, one argument each, split as
; every Windows program splits its command line: /PYTHON="C:\a b\python.exe"
; and "/PYTHON=C:\a b\python.exe" are the same.
Function ReadOptions
    System::Call 'kernel32::GetCommandLineW() p .r0'
    System::Call 'shell32::CommandLineToArgvW(p r0, *i .r1) p .r2'
    ${If} $2 P= 0
        Return
    ${EndIf}
    IntOp $4 $1 - 1
    ${For} $3 1 $4
        IntOp $5 $3 * ${NSIS_PTR_SIZE}
        IntPtrOp $5 $2 + $5
        System::Call '*$5(w .r7)'
        !insertmacro OPTION_SETTING "/WEBUI_BAT=" $WebUiBat
        !insertmacro OPTION_SETTING "/PYTHON=" $Python
        !insertmacro OPTION_SETTING "/PLUGIN_PROGRESS=" $PluginProgress
        !insertmacro OPTION_SETTING "/PLUGIN_TCP=" $PluginTcp
    ${Next}
    System::Call 'kernel32::LocalFree(p r2)'
FunctionEnd

; Ends a silent install that was given a setting the reader cannot take: VALUE
!macro CHECK_SETTING VALUE
    StrLen $R2 ${VALUE}
    ${If} $R2 > ${MAX_SETTING}
        SetErrorLevel 2
        Quit
    ${EndIf}
!macroend

Function .onInit
    SetRegView 64
    ; What the registry holds is kept unless given anew.
    ReadRegStr $WebUiBat HKLM "${SETTINGS_KEY}" "path_stable_difusson_bat"
    ReadRegStr $Python HKLM "${SETTINGS_KEY}" "path_python"
    ReadRegStr $PluginProgress HKLM "${SETTINGS_KEY}" "path_python_progress_bar"
    ReadRegStr $PluginTcp HKLM "${SETTINGS_KEY}" "path_python_tcp_server"
    Call ReadOptions
    ${If} ${Silent}
        !insertmacro CHECK_SETTING $WebUiBat
        !insertmacro CHECK_SETTING $Python
        !insertmacro CHECK_SETTING $PluginProgress
        !insertmacro CHECK_SETTING $PluginTcp
    ${EndIf}
FunctionEnd

; A page of two file fields with Browse buttons: TITLE SUBTITLE LABEL1 VAR1 FILTER1 LABEL2 VAR2 FILTER2
!macro FILE_PAGE TITLE SUBTITLE LABEL1 VAR1 FILTER1 LABEL2 VAR2 FILTER2
    !insertmacro MUI_HEADER_TEXT "${TITLE}" "${SUBTITLE}"
    nsDialogs::Create 1018
    Pop $0
    ${NSD_CreateLabel} 0 0 100% 20u "${LABEL1}"
    Pop $0
    ${NSD_CreateFileRequest} 0 22u 80% 13u "${VAR1}"
    Pop $Field1
    ${NSD_CreateBrowseButton} 82% 21u 18% 15u "Browse..."
    Pop $0
    nsDialogs::SetUserData $0 "${FILTER1}"
    ${NSD_OnClick} $0 BrowseField1
    ${NSD_CreateLabel} 0 50u 100% 20u "${LABEL2}"
    Pop $0
    ${NSD_CreateFileRequest} 0 72u 80% 13u "${VAR2}"
    Pop $Field2
    ${NSD_CreateBrowseButton} 82% 71u 18% 15u "Browse..."
    Pop $0
    nsDialogs::SetUserData $0 "${FILTER2}"
    ${NSD_OnClick} $0 BrowseField2
    nsDialogs::Show
!macroend

!macro BROWSE FIELD
    Pop $0
    nsDialogs::GetUserData $0
    Pop $1
    ${NSD_GetText} ${FIELD} $2
    nsDialogs::SelectFileDialog open $2 $1
    Pop $2
    ${If} $2 != ""
        ${NSD_SetText} ${FIELD} $2
    ${EndIf}
!macroend

Function BrowseField1
    !insertmacro BROWSE $Field1
FunctionEnd

Function BrowseField2
    !insertmacro BROWSE $Field2
FunctionEnd

; Takes a field into its variable; stays on the page when it is empty, too
; long, or names no file and the user does not want it anyway: FIELD VAR NAME
!macro LEAVE_FIELD FIELD VAR NAME
    ${NSD_GetText} ${FIELD} $0
    ${If} $0 == ""
        MessageBox MB_ICONEXCLAMATION|MB_OK "Please give the ${NAME}."
        Abort
    ${EndIf}
    StrLen $1 $0
    ${If} $1 > ${MAX_SETTING}
        MessageBox MB_ICONEXCLAMATION|MB_OK "The path of the ${NAME} is longer than ${MAX_SETTING} characters, which traybridge cannot read."
        Abort
    ${EndIf}
    ${IfNot} ${FileExists} $0
        MessageBox MB_ICONQUESTION|MB_YESNO "The ${NAME} $\"$0$\" does not exist. traybridge needs it at start. Use this path anyway?" IDYES +2
        Abort
    ${EndIf}
    StrCpy ${VAR} $0
!macroend

Function WebUiPage
    !insertmacro FILE_PAGE "Web UI" "Where the text-to-image web UI is installed." \
        "The web UI's batch file, which traybridge runs to start it (for example webui-user.bat):" $WebUiBat \
        "Batch files (*.bat;*.cmd)|*.bat;*.cmd|All files|*.*" \
        "The web UI's Python interpreter (for example venv\Scripts\python.exe in the web UI's folder); the service ends its processes when you stop the web UI:" $Python \
        "Programs (*.exe)|*.exe|All files|*.*"
FunctionEnd

Function WebUiPageLeave
    !insertmacro LEAVE_FIELD $Field1 $WebUiBat "web UI's batch file"
    !insertmacro LEAVE_FIELD $Field2 $Python "Python interpreter"
FunctionEnd

Function PluginPage
    !insertmacro FILE_PAGE "Cinema 4D plug-in" "The two files of the plug-in." \
        "The plug-in's progress bar script:" $PluginProgress \
        "Python files (*.py;*.pyp)|*.py;*.pyp|All files|*.*" \
        "The plug-in's TCP server script:" $PluginTcp \
        "Python files (*.py;*.pyp)|*.py;*.pyp|All files|*.*"
FunctionEnd

Function PluginPageLeave
    !insertmacro LEAVE_FIELD $Field1 $PluginProgress "plug-in's progress bar script"
    !insertmacro LEAVE_FIELD $Field2 $PluginTcp "plug-in's TCP server script"
FunctionEnd

; Writes a setting unless there is nothing to write: NAME VAR
!macro WRITE_SETTING NAME VAR
    ${If} ${VAR} != ""
        WriteRegStr HKLM "${SETTINGS_KEY}" "${NAME}" ${VAR}
    ${EndIf}
!macroend

; Started from the elevated installer through the shell, so that the tray
; program runs with the user's own rights.
Function StartTray
    Exec '"$WINDIR\explorer.exe" "$INSTDIR\traybridge.exe"'
FunctionEnd

; ---------------------------------------------------------------- install

Section "traybridge" SecMain
    SectionIn RO
    SetShellVarContext all
    SetRegView 64

    ; An earlier install keeps its files open while it runs.
    Call StopService
    Call EndTray

    SetOutPath "$INSTDIR"
    !insertmacro TB_INSTALL_FILES
    File "/oname=procwarden.exe" "${SERVICE}"
    WriteUninstaller "$INSTDIR\uninstall.exe"

    ; traybridge rewrites its start log beside itself at every start, under
    ; the rights of the user who runs it: Users may modify that one file.
    ${IfNot} ${FileExists} "$INSTDIR\start.log"
        FileOpen $0 "$INSTDIR\start.log" w
        FileClose $0
    ${EndIf}
    System::Call 'advapi32::ConvertStringSecurityDescriptorToSecurityDescriptorW(w "D:(A;;0x1301bf;;;BU)", i 1, *p .r1, p 0) i .r0'
    ${If} $0 = 0
        Abort "Cannot build the access rights of start.log."
    ${EndIf}
    System::Call 'advapi32::GetSecurityDescriptorDacl(p r1, *i .r2, *p .r3, *i .r4) i .r0'
    ; SE_FILE_OBJECT, DACL_SECURITY_INFORMATION; the inherited entries stay
    System::Call 'advapi32::SetNamedSecurityInfoW(w "$INSTDIR\start.log", i 1, i 4, p 0, p 0, p r3, p 0) i .r0'
    System::Call 'kernel32::LocalFree(p r1)'
    ${If} $0 <> 0
        DetailPrint "Cannot give Users the right to modify start.log (error $0)."
    ${EndIf}

    !insertmacro WRITE_SETTING "path_stable_difusson_bat" $WebUiBat
    !insertmacro WRITE_SETTING "path_python" $Python
    !insertmacro WRITE_SETTING "path_python_progress_bar" $PluginProgress
    !insertmacro WRITE_SETTING "path_python_tcp_server" $PluginTcp
    WriteRegStr HKLM "${SETTINGS_KEY}" "path_qt_systray_gui" "$INSTDIR\traybridge.exe"

    CreateShortcut "$SMPROGRAMS\traybridge.lnk" "$INSTDIR\traybridge.exe"
    WriteRegStr HKLM "${RUN_KEY}" "traybridge" '"$INSTDIR\traybridge.exe"'

    WriteRegStr HKLM "${UNINST_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKLM "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINST_KEY}" "Publisher" "traybridge developers"
    WriteRegStr HKLM "${UNINST_KEY}" "DisplayIcon" "$INSTDIR\traybridge.exe"
    WriteRegStr HKLM "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINST_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINST_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINST_KEY}" "NoRepair" 1
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    WriteRegDWORD HKLM "${UNINST_KEY}" "EstimatedSize" $0

    Call InstallService
    ${If} $ServiceError != ""
        ${IfNot} ${Silent}
            MessageBox MB_ICONSTOP|MB_OK "The service $\"${SERVICE_NAME}$\" $ServiceError."
        ${EndIf}
        Abort "The service ${SERVICE_NAME} $ServiceError."
    ${EndIf}
SectionEnd

; ---------------------------------------------------------------- uninstall

Section "Uninstall"
    SetShellVarContext all
    SetRegView 64

    Call un.StopService
    Call un.DeleteService
    Call un.EndTray

    !insertmacro TB_UNINSTALL_FILES
    Delete "$INSTDIR\procwarden.exe"
    Delete "$INSTDIR\start.log"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"

    Delete "$SMPROGRAMS\traybridge.lnk"
    DeleteRegValue HKLM "${RUN_KEY}" "traybridge"
    DeleteRegKey HKLM "${SETTINGS_KEY}"
    DeleteRegKey HKLM "${UNINST_KEY}"

    ; What the tray program keeps for the user who uninstalls: its own login
    ; entry, its menu choices and its folder of logs. The images in
    ; Documents\AI_TEXTURES stay.
    SetShellVarContext current
    DeleteRegValue HKCU "${RUN_KEY}" "traybridge"
    DeleteRegKey HKCU "Software\traybridge"
    ${If} $LOCALAPPDATA != ""
        RMDir /r "$LOCALAPPDATA\traybridge"
    ${EndIf}
SectionEnd
