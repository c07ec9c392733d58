; The Windows installer of Voltrine (scripts/package-windows builds it with
; makensis). A per-user installation: no administrator rights, and the
; program's folder, where it keeps confdata and Trace.log beside itself, is
; the user's own.
;
;   makensis -DVERSION=1.2.3.4 -DSTAGE=<folder with Voltrine.exe, README.txt,
;            LICENSE.txt> -DOUTFILE=<installer> voltrine.nsi

; The program is 64-bit, and so is the installer (no 32-bit Wine is needed to
; try it).
Target amd64-unicode
!include "MUI2.nsh"

!define APPNAME "Voltrine"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Voltrine"

Name "${APPNAME} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\Voltrine"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
RequestExecutionLevel user
SetCompressor /SOLID lzma

VIProductVersion "${VERSION}"
VIAddVersionKey "ProductName" "${APPNAME}"
VIAddVersionKey "FileDescription" "${APPNAME} installer"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "GNU General Public License, version 3"

!define MUI_ICON "${STAGE}\Voltrine.ico"
!define MUI_UNICON "${STAGE}\Voltrine.ico"
!define MUI_COMPONENTSPAGE_NODESC
!insertmacro MUI_PAGE_LICENSE "${STAGE}\LICENSE.txt"
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN "$INSTDIR\Voltrine.exe"
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Section "Voltrine" SectionProgram
    SectionIn RO
    SetOutPath "$INSTDIR"
    File "${STAGE}\Voltrine.exe"
    File "${STAGE}\README.txt"
    File "${STAGE}\LICENSE.txt"
    WriteUninstaller "$INSTDIR\Uninstall.exe"

    ; Shortcuts start the program in its folder (the output path), where its
    ; settings are.
    CreateDirectory "$SMPROGRAMS\Voltrine"
    CreateShortcut "$SMPROGRAMS\Voltrine\Voltrine.lnk" "$INSTDIR\Voltrine.exe"
    CreateShortcut "$SMPROGRAMS\Voltrine\Uninstall Voltrine.lnk" "$INSTDIR\Uninstall.exe"

    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${APPNAME}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "Brindlecast"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Voltrine.exe"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; A shortcut in the Startup folder rather than a Run value: a Run value would
; start the program in the system folder, where it could not keep its settings.
Section /o "Start with Windows" SectionAutostart
    SetOutPath "$INSTDIR"
    CreateShortcut "$SMSTARTUP\Voltrine.lnk" "$INSTDIR\Voltrine.exe"
SectionEnd

Section "Uninstall"
    Delete "$SMSTARTUP\Voltrine.lnk"
    Delete "$SMPROGRAMS\Voltrine\Voltrine.lnk"
    Delete "$SMPROGRAMS\Voltrine\Uninstall Voltrine.lnk"
    RMDir "$SMPROGRAMS\Voltrine"
    Delete "$INSTDIR\Voltrine.exe"
    Delete "$INSTDIR\README.txt"
    Delete "$INSTDIR\LICENSE.txt"
    Delete "$INSTDIR\Uninstall.exe"
    ; confdata, Trace.log and the journal are the user's: they stay, and
    ; with them the folder.
    RMDir "$INSTDIR"
    DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
