; The Windows installer of Kestrel Utility: both programs, the Read-me for Windows and the
; licence in Program Files, a Start-menu folder, and an uninstaller listed in "Apps".
; makensis -DVERSION=1.0.0 -DSTAGE=folder -DICON=file.ico -DOUTFILE=setup.exe kestrel-utility.nsi

; A 64-bit installer for the 64-bit programs.
Target amd64-unicode
Name "Kestrel Utility ${VERSION}"
OutFile "${OUTFILE}"
Icon "${ICON}"
UninstallIcon "${ICON}"
InstallDir "$PROGRAMFILES64\Kestrel Utility"
InstallDirRegKey HKLM "Software\Kestrel Utility" "InstallDir"
RequestExecutionLevel admin
SetCompressor /SOLID lzma

VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "Kestrel Utility"
VIAddVersionKey "FileDescription" "Kestrel Utility installer"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "Copyright 2026 Kestrel Utility developers"

Page license
Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles
LicenseData "${STAGE}\LICENSE.txt"

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\KestrelUtility"

Section "Kestrel Utility"
  SetShellVarContext all
  SetOutPath "$INSTDIR"
  File "${STAGE}\kestrel-utility.exe"
  File "${STAGE}\kestrel-flash.exe"
  File "${STAGE}\README.txt"
  File "${STAGE}\LICENSE.txt"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateDirectory "$SMPROGRAMS\Kestrel Utility"
  CreateShortcut "$SMPROGRAMS\Kestrel Utility\Kestrel Utility.lnk" "$INSTDIR\kestrel-utility.exe"
  CreateShortcut "$SMPROGRAMS\Kestrel Utility\Read me.lnk" "$INSTDIR\README.txt"
  CreateShortcut "$SMPROGRAMS\Kestrel Utility\Uninstall Kestrel Utility.lnk" "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "Software\Kestrel Utility" "InstallDir" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Kestrel Utility"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Kestrel Utility developers"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\kestrel-utility.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  Delete "$INSTDIR\kestrel-utility.exe"
  Delete "$INSTDIR\kestrel-flash.exe"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\Kestrel Utility\Kestrel Utility.lnk"
  Delete "$SMPROGRAMS\Kestrel Utility\Read me.lnk"
  Delete "$SMPROGRAMS\Kestrel Utility\Uninstall Kestrel Utility.lnk"
  RMDir "$SMPROGRAMS\Kestrel Utility"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DeleteRegKey HKLM "Software\Kestrel Utility"
SectionEnd
