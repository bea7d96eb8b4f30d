; installer/quillet.nsi: the Windows installer, one per architecture.
;
;   makensis -DARCH=win32|win64 -DSTAGE=DIR -DOUTFILE=FILE installer/quillet.nsi
;
; STAGE holds quillet.exe, ferrule.dll, README.txt, LICENSE.txt and
; sdk\ferrule.h as scripts/dist.sh lays them out. The name, versions and
; publisher are read from the sources that the program itself is built from
; (makensis works in the script's folder, so those paths start there).
;
; Command line of the installer: /S silent; /NOAUTOSTART leaves out the
; start at logon; /SERVICE runs Quillet as a service from boot instead;
; /NOIRCNAMES leaves out --irc-names; /NOKEPTLOG leaves out the kept log
; (--log-dir) of the desktop program; /D=DIR the folder (last, unquoted).
; The uninstaller takes /S.

Unicode true
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestSupportedOS all

!searchparse /file "../common/version.h" '#define QUILLET_PRODUCT "' PRODUCT '"'
!searchparse /file "../common/version.h" '#define QUILLET_VERSION_TEXT "' VERSION_TEXT '"'
!searchparse /file "../common/version.h" '#define QUILLET_VERSION_MAJOR ' V_MAJOR
!searchparse /file "../common/version.h" '#define QUILLET_VERSION_MINOR ' V_MINOR
!searchparse /file "../common/version.h" '#define QUILLET_VERSION_PATCH ' V_PATCH
!searchparse /file "../common/version.h" '#define QUILLET_VERSION_BUILD ' V_BUILD
!searchparse /file "../common/version.h" '#define QUILLET_INSTANCE_MUTEX "' INSTANCE_MUTEX '"'
!searchparse /file "../shell/quillet.rc" 'VALUE "CompanyName", "' PUBLISHER '"'

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
; The event source: the Event Viewer finds the texts of Quillet's events
; in quillet.exe's message table.
!define EVENT_KEY "SYSTEM\CurrentControlSet\Services\EventLog\Application\${PRODUCT}"
; The kept log's folder, under the common application data folder
; (SetShellVarContext all); the uninstaller leaves it.
!define LOG_DIR "$APPDATA\${PRODUCT}\Logs"
; The service's name; the service control manager starts it as
; quillet.exe --service under the local service account.
!define SERVICE "${PRODUCT}"
!define SERVICE_ACCOUNT "NT AUTHORITY\LocalService"
; The firewall rule's name; the uninstaller deletes the rule by it.
!define FIREWALL_RULE "${PRODUCT} IDENT (TCP 113)"
; Waits for a running Quillet to end after asking it to quit, in tenths of
; a second.
!define QUIT_WAIT 50

!if "${ARCH}" == "win64"
  Target amd64-unicode
  InstallDir "$PROGRAMFILES64\${PRODUCT}"
!else if "${ARCH}" == "win32"
  Target x86-unicode
  ; A 32-bit program on 64-bit Windows: the 32-bit Program Files.
  InstallDir "$PROGRAMFILES\${PRODUCT}"
!else
  !error "ARCH must be win32 or win64"
!endif

!include "FileFunc.nsh"
!include "LogicLib.nsh"
!include "Sections.nsh"
!include "x64.nsh"

Name "${PRODUCT} ${VERSION_TEXT}"
OutFile "${OUTFILE}"
BrandingText "${PRODUCT} ${VERSION_TEXT}"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${V_MAJOR}.${V_MINOR}.${V_PATCH}.${V_BUILD}"
VIFileVersion "${V_MAJOR}.${V_MINOR}.${V_PATCH}.${V_BUILD}"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION_TEXT}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION_TEXT}"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} ${VERSION_TEXT} Setup"
VIAddVersionKey /LANG=1033 "LegalCopyright" "MIT License, the ${PRODUCT} authors"

LicenseData "${STAGE}\LICENSE.txt"
; The components page says the two ways to run and what each needs.
ComponentText "Start ${PRODUCT} at logon in the tray (it ends when that user logs off), or run it as a service from boot, with no one logged on: the host server must then be reachable without a logged-on user for ${PRODUCT} to register." "" "Choose the components to install:"
Page license
Page components
Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; A running Quillet holds its instance mutex (under Global\ or, for an
; account that may not make global names, Local\), or runs without it, and
; keeps quillet.exe open. It is asked to quit as its Quit button does; if
; it has not ended in time, Setup stops rather than leave a half-replaced
; program.
!macro CloseRunningQuillet UN
Function ${UN}CloseRunningQuillet
  Call ${UN}bQuilletRunning
  Pop $0
  ${If} $0 == 0
    Return
  ${EndIf}
  FindWindow $1 "#32770" "${PRODUCT} - ${VERSION_TEXT}"
  ${If} $1 != 0
    DetailPrint "Asking the running ${PRODUCT} to quit"
    SendMessage $1 0x111 106 0 /TIMEOUT=2000 ; WM_COMMAND, the Quit button
  ${EndIf}
  StrCpy $2 0
  ${Do}
    Call ${UN}bQuilletRunning
    Pop $0
    ${If} $0 == 0
      Return
    ${EndIf}
    IntOp $2 $2 + 1
    ${If} $2 > ${QUIT_WAIT}
      MessageBox MB_OK|MB_ICONSTOP "${PRODUCT} is running and did not quit.$\r$\n$\r$\nQuit it from its tray icon's menu (right click, Quit), then run this again." /SD IDOK
      SetErrorLevel 3
      Quit
    ${EndIf}
    Sleep 100
  ${Loop}
FunctionEnd

; Pushes 1 while some Quillet runs, else 0: one holds the instance mutex,
; or, since another program may hold that name and Quillet then runs
; without it, a quillet.exe process runs.
Function ${UN}bQuilletRunning
  StrCpy $0 0
  ; SYNCHRONIZE access is enough to learn that the mutex exists.
  System::Call 'kernel32::OpenMutexW(i 0x00100000, i 0, w "Global\${INSTANCE_MUTEX}") p.r3'
  ${If} $3 == 0
    System::Call 'kernel32::OpenMutexW(i 0x00100000, i 0, w "Local\${INSTANCE_MUTEX}") p.r3'
  ${EndIf}
  ${If} $3 != 0
    System::Call 'kernel32::CloseHandle(p r3)'
    StrCpy $0 1
  ${EndIf}
  ; The process list: PROCESSENTRY32W's fields between its size and its
  ; name, laid out for this build's pointers (the plugin adds no padding).
!if "${ARCH}" == "win64"
  !define /redef PE32_FIELDS "i, i, i, p, i, i, i, i, i"
  !define /redef PE32_SIZE 568
!else
  !define /redef PE32_FIELDS "i, i, p, i, i, i, i, i"
  !define /redef PE32_SIZE 556
!endif
  System::Call 'kernel32::CreateToolhelp32Snapshot(i 2, i 0) p.r4'
  ${If} $0 == 0
  ${AndIf} $4 != -1
    System::Call '*(i ${PE32_SIZE}, ${PE32_FIELDS}, &w260) p.r5'
    System::Call 'kernel32::Process32FirstW(p r4, p r5) i.r6'
    ${DoWhile} $6 != 0
      System::Call '*$5(i, ${PE32_FIELDS}, &w260 .r7)'
      ${If} $7 == "quillet.exe"
        StrCpy $0 1
        ${Break}
      ${EndIf}
      System::Call 'kernel32::Process32NextW(p r4, p r5) i.r6'
    ${Loop}
    System::Free $5
    System::Call 'kernel32::CloseHandle(p r4)'
  ${EndIf}
  Push $0
FunctionEnd
!macroend
!insertmacro CloseRunningQuillet ""
!insertmacro CloseRunningQuillet "un."

; The service has no window to post a quit to: it is stopped through the
; service control manager and waited for, and removed when asked ($R6 1).
; Nothing happens where no service is installed.
!macro RemoveService UN
!if "${UN}" == ""
Function StopQuilletService
  StrCpy $R6 0
  Call ServiceControl
FunctionEnd
!endif

Function ${UN}DeleteQuilletService
  StrCpy $R6 1
  Call ${UN}ServiceControl
FunctionEnd

Function ${UN}ServiceControl
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 1) p.r1' ; SC_MANAGER_CONNECT
  ${If} $1 == 0
    Return
  ${EndIf}
  ; DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS
  System::Call 'advapi32::OpenServiceW(p r1, w "${SERVICE}", i 0x10024) p.r2'
  ${If} $2 != 0
    System::Call '*(i, i, i, i, i, i, i) p.r3' ; SERVICE_STATUS
    System::Call 'advapi32::ControlService(p r2, i 1, p r3) i.r4' ; SERVICE_CONTROL_STOP
    StrCpy $5 0
    ${Do}
      System::Call 'advapi32::QueryServiceStatus(p r2, p r3) i.r4'
      System::Call '*$3(i, i .r6)'
      ${If} $4 == 0
      ${OrIf} $6 == 1 ; SERVICE_STOPPED
        ${Break}
      ${EndIf}
      IntOp $5 $5 + 1
      ${If} $5 > ${QUIT_WAIT}
        MessageBox MB_OK|MB_ICONSTOP "The ${PRODUCT} service did not stop.$\r$\n$\r$\nStop it under Services (services.msc), then run this again." /SD IDOK
        SetErrorLevel 3
        Quit
      ${EndIf}
      Sleep 100
    ${Loop}
    System::Free $3
    DetailPrint "Stopped the ${PRODUCT} service"
    ${If} $R6 == 1
      System::Call 'advapi32::DeleteService(p r2) i.r4'
      ${If} $4 == 0
        DetailPrint "The ${PRODUCT} service could not be removed"
      ${Else}
        DetailPrint "Removed the ${PRODUCT} service"
      ${EndIf}
    ${EndIf}
    System::Call 'advapi32::CloseServiceHandle(p r2)'
  ${EndIf}
  System::Call 'advapi32::CloseServiceHandle(p r1)'
FunctionEnd
!macroend
!insertmacro RemoveService ""
!insertmacro RemoveService "un."

Section "${PRODUCT} (required)" SecProgram
  SectionIn RO
  Call StopQuilletService
  Call CloseRunningQuillet
  SetOutPath "$INSTDIR"
  File "${STAGE}\quillet.exe"
  File "${STAGE}\ferrule.dll"
  File "${STAGE}\README.txt"
  File "${STAGE}\LICENSE.txt"
  SetOutPath "$INSTDIR\sdk"
  File "${STAGE}\sdk\ferrule.h"
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  WriteRegExpandStr HKLM "${EVENT_KEY}" "EventMessageFile" "$INSTDIR\quillet.exe"
  WriteRegDWORD HKLM "${EVENT_KEY}" "TypesSupported" 7

  SetShellVarContext all
  Call MakeLogFolder
  Call QuilletSwitches
  Call DropServiceUnlessChosen
  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk" "$INSTDIR\quillet.exe" "$R9"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\Uninstall ${PRODUCT}.lnk" "$INSTDIR\uninstall.exe"

  ; An earlier install's choice does not carry over: the section below
  ; writes the value again when it is chosen.
  DeleteRegValue HKLM "${RUN_KEY}" "${PRODUCT}"

  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION_TEXT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\quillet.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "VersionMajor" ${V_MAJOR}
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "VersionMinor" ${V_MINOR}
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1

  ; Windows Firewall blocks inbound connections to a new program, and chat
  ; servers' queries would time out unseen. Where netsh is missing or fails
  ; (older Windows, Wine) the install goes on; the result is kept beside
  ; the uninstall entry, and the README says what to open by hand.
  nsExec::ExecToLog 'netsh advfirewall firewall delete rule name="${FIREWALL_RULE}"'
  Pop $0
  nsExec::ExecToLog 'netsh advfirewall firewall add rule name="${FIREWALL_RULE}" dir=in action=allow program="$INSTDIR\quillet.exe" protocol=TCP localport=113'
  Pop $0
  DetailPrint "Firewall rule for TCP port 113: $0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "FirewallRule" "$0"
SectionEnd

; The machine-wide Run key: an elevated install may run under another
; account than the operator's, so the current user's key could be the
; wrong one.
Section "Start ${PRODUCT} when anyone logs on" SecAutoStart
  Call QuilletSwitches
  WriteRegStr HKLM "${RUN_KEY}" "${PRODUCT}" '"$INSTDIR\quillet.exe" $R9'
SectionEnd

; From boot, without anyone logged on: the service, started automatically
; under the local service account (port 113 needs no privilege on Windows),
; again a minute after each failure (the manager repeats the last action
; for every failure past the list's end). A copy that stops because another
; Quillet serves reports a stop, not a failure, so that it is not started
; again and again.
Section /o "Run ${PRODUCT} as a service from boot" SecService
  Call QuilletSwitches
  StrCpy $R7 '"$INSTDIR\quillet.exe" --service $R9'
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 3) p.r1' ; CONNECT | CREATE_SERVICE
  ; SERVICE_ALL_ACCESS, own process, automatic start, normal errors
  System::Call 'advapi32::CreateServiceW(p r1, w "${SERVICE}", w "${PRODUCT}", i 0xF01FF, i 0x10, i 2, i 1, w R7, p 0, p 0, p 0, w "${SERVICE_ACCOUNT}", p 0) p.r2'
  ${If} $2 == 0
    System::Call 'advapi32::OpenServiceW(p r1, w "${SERVICE}", i 0xF01FF) p.r2'
    System::Call 'advapi32::ChangeServiceConfigW(p r2, i 0x10, i 2, i 1, w R7, p 0, p 0, p 0, w "${SERVICE_ACCOUNT}", p 0, w "${PRODUCT}") i.r0'
  ${EndIf}
  ${If} $2 == 0
    MessageBox MB_OK|MB_ICONSTOP "The ${PRODUCT} service could not be registered." /SD IDOK
    SetErrorLevel 5
    Quit
  ${EndIf}
  System::Call '*(i 1, i 60000) p.r3' ; SC_ACTION_RESTART after 60 s
!if "${ARCH}" == "win64"
  System::Call '*(i 86400, i 0, p 0, p 0, i 1, i 0, p r3) p.r4'
!else
  System::Call '*(i 86400, p 0, p 0, i 1, p r3) p.r4'
!endif
  System::Call 'advapi32::ChangeServiceConfig2W(p r2, i 2, p r4) i.r0' ; SERVICE_CONFIG_FAILURE_ACTIONS
  System::Free $4
  System::Free $3
  System::Call 'advapi32::StartServiceW(p r2, i 0, p 0) i.r0'
  ${If} $0 == 0
    DetailPrint "The ${PRODUCT} service did not start: see the Application event log"
  ${Else}
    DetailPrint "Started the ${PRODUCT} service"
  ${EndIf}
  System::Call 'advapi32::CloseServiceHandle(p r2)'
  System::Call 'advapi32::CloseServiceHandle(p r1)'
SectionEnd

; Chat servers cut, change or refuse idents that are not short runs of
; letters and digits, each its own way. The choice is kept beside the
; uninstall entry, so that an upgrade keeps what the installed copy had.
Section "Send chat servers names they all accept" SecIrcNames
SectionEnd

; A sysop answering an abuse report needs to know who had which connection
; when; the file names users, so it is kept only where chosen.
Section "Keep a dated log of every answer, for abuse reports" SecKeptLog
SectionEnd

; The switches the shortcut and the Run entry start Quillet with, in $R9.
; Started at logon, the host server may come up after Quillet, or restart
; later: Quillet waits for it and registers again.
Function QuilletSwitches
  ${If} ${SectionIsSelected} ${SecService}
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "Service" 1
  ${Else}
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "Service" 0
  ${EndIf}
  StrCpy $R9 "--wait-for-host"
  ${If} ${SectionIsSelected} ${SecIrcNames}
    StrCpy $R9 "$R9 --irc-names"
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "IrcNames" 1
  ${Else}
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "IrcNames" 0
  ${EndIf}
  ${If} ${SectionIsSelected} ${SecKeptLog}
    StrCpy $R9 '$R9 --log-dir="${LOG_DIR}"'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "KeptLog" 1
  ${Else}
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "KeptLog" 0
  ${EndIf}
FunctionEnd

; Run the desktop way now: a service installed before goes.
Function DropServiceUnlessChosen
  ${IfNot} ${SectionIsSelected} ${SecService}
    Call DeleteQuilletService
  ${EndIf}
FunctionEnd

; The kept log's folder, which whoever runs Quillet must be able to write:
; the users of the machine and the local service account may add and
; remove files in it. Where icacls fails (Wine) the install goes on, and
; its result is kept beside the uninstall entry.
Function MakeLogFolder
  ${IfNot} ${SectionIsSelected} ${SecKeptLog}
  ${AndIfNot} ${SectionIsSelected} ${SecService}
    Return
  ${EndIf}
  CreateDirectory "${LOG_DIR}"
  nsExec::ExecToLog 'icacls "${LOG_DIR}" /grant *S-1-5-32-545:(OI)(CI)M /grant *S-1-5-19:(OI)(CI)M'
  Pop $0
  DetailPrint "Write access to ${LOG_DIR}: $0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "LogFolderAccess" "$0"
FunctionEnd

Section "Uninstall"
  Call un.DeleteQuilletService
  Call un.CloseRunningQuillet
  nsExec::ExecToLog 'netsh advfirewall firewall delete rule name="${FIREWALL_RULE}"'
  Pop $0
  DeleteRegValue HKLM "${RUN_KEY}" "${PRODUCT}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DeleteRegKey HKLM "${EVENT_KEY}"

  SetShellVarContext all
  Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\Uninstall ${PRODUCT}.lnk"
  RMDir "$SMPROGRAMS\${PRODUCT}"

  Delete "$INSTDIR\quillet.exe"
  Delete "$INSTDIR\ferrule.dll"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$INSTDIR\sdk\ferrule.h"
  RMDir "$INSTDIR\sdk"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  ; A sysop's records outlive the program.
  ${If} ${FileExists} "${LOG_DIR}\*.*"
    DetailPrint "The kept logs stay in ${LOG_DIR}"
  ${EndIf}
SectionEnd

Function .onInit
!if "${ARCH}" == "win64"
  ${IfNot} ${RunningX64}
    MessageBox MB_OK|MB_ICONSTOP "This is the 64-bit ${PRODUCT}; this Windows runs 32-bit programs only. Use the win32 setup." /SD IDOK
    SetErrorLevel 4
    Quit
  ${EndIf}
  SetRegView 64
!endif
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/NOAUTOSTART" $R1
  ${IfNot} ${Errors}
    !insertmacro UnselectSection ${SecAutoStart}
  ${EndIf}
  ; The service for /SERVICE, or where an upgrade finds it chosen.
  ClearErrors
  ReadRegDWORD $R1 HKLM "${UNINSTALL_KEY}" "Service"
  ${If} $R1 == 1
    Call ChooseService
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/SERVICE" $R1
  ${IfNot} ${Errors}
    Call ChooseService
  ${EndIf}
  ; On for a new install; an upgrade keeps the installed copy's choice.
  ClearErrors
  ReadRegDWORD $R1 HKLM "${UNINSTALL_KEY}" "IrcNames"
  ${IfNot} ${Errors}
  ${AndIf} $R1 == 0
    !insertmacro UnselectSection ${SecIrcNames}
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/NOIRCNAMES" $R1
  ${IfNot} ${Errors}
    !insertmacro UnselectSection ${SecIrcNames}
  ${EndIf}
  ; The same for the kept log.
  ClearErrors
  ReadRegDWORD $R1 HKLM "${UNINSTALL_KEY}" "KeptLog"
  ${IfNot} ${Errors}
  ${AndIf} $R1 == 0
    !insertmacro UnselectSection ${SecKeptLog}
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/NOKEPTLOG" $R1
  ${IfNot} ${Errors}
    !insertmacro UnselectSection ${SecKeptLog}
  ${EndIf}
FunctionEnd

; The two ways to run exclude each other: the one just chosen wins.
Function ChooseService
  !insertmacro SelectSection ${SecService}
  !insertmacro UnselectSection ${SecAutoStart}
FunctionEnd

Function .onSelChange
  ${If} ${SectionIsSelected} ${SecService}
  ${AndIf} ${SectionIsSelected} ${SecAutoStart}
    ${If} $0 == ${SecService}
      !insertmacro UnselectSection ${SecAutoStart}
    ${Else}
      !insertmacro UnselectSection ${SecService}
    ${EndIf}
  ${EndIf}
FunctionEnd

Function un.onInit
!if "${ARCH}" == "win64"
  SetRegView 64
!endif
FunctionEnd
