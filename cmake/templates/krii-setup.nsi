; The installer of the Windows bundle (makensis -DKRII_FILES=... -DKRII_OUTFILE=...;
; target krii_win_installer). The bundle's files, folders and shortcuts come
; from KRII_FILES, which cmake/win-bundle.cmake writes from the bundle folder.
;
; Per machine (Program Files, for every user; needs administrator rights) or
; per user (the user's own programs folder): chosen on the first page, or
; with /AllUsers or /CurrentUser on the command line; /S installs silently
; and /D=FOLDER (last) names the folder. The uninstaller removes what was
; installed, the shortcuts and the entry in the list of programs; krii's
; settings (HKCU\Software\korin\krii) stay unless the examiner says so (a
; question; /RemoveSettings when silent).
Unicode true
; The 32-bit stub does not start on a 64-bit system without its 32-bit
; layer (a wine64 prefix), and the programs are 64-bit anyway.
Target amd64-unicode
SetCompressor /SOLID lzma

!include "${KRII_FILES}"

!define KRII_UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\krii"
!define KRII_SETTINGS_KEY "Software\korin\krii"

Name "krii ${KRII_VERSION}"
OutFile "${KRII_OUTFILE}"
BrandingText "krii ${KRII_VERSION}"
VIProductVersion "${KRII_VERSION}"
VIAddVersionKey /LANG=0 ProductName "krii"
VIAddVersionKey /LANG=0 ProductVersion "${KRII_VERSION}"
VIAddVersionKey /LANG=0 FileVersion "${KRII_VERSION}"
VIAddVersionKey /LANG=0 FileDescription "krii ${KRII_VERSION} setup"
VIAddVersionKey /LANG=0 LegalCopyright "Copyright (C) 2018 korin"

!define MULTIUSER_EXECUTIONLEVEL Highest
!define MULTIUSER_MUI
!define MULTIUSER_INSTALLMODE_COMMANDLINE
!define MULTIUSER_INSTALLMODE_INSTDIR krii
!define MULTIUSER_USE_PROGRAMFILES64
!define MULTIUSER_INSTALLMODE_INSTDIR_REGISTRY_KEY "${KRII_UNINST_KEY}"
!define MULTIUSER_INSTALLMODE_INSTDIR_REGISTRY_VALUENAME "InstallLocation"
; The uninstaller finds its mode from where it is (un.onInit).
!define MULTIUSER_NOUNINSTALL
!include MultiUser.nsh
!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh

!insertmacro MULTIUSER_PAGE_INSTALLMODE
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "SimpChinese"
!insertmacro MUI_LANGUAGE "English"

LangString KriiConsole ${LANG_SIMPCHINESE} "krimg 命令行 (此文件夹中的命令提示符)"
LangString KriiConsole ${LANG_ENGLISH} "krimg command line (a command prompt in this folder)"
LangString KriiRemoveSettings ${LANG_SIMPCHINESE} "同时删除 krii 的设置吗?"
LangString KriiRemoveSettings ${LANG_ENGLISH} "Also remove krii's settings?"
LangString KriiNeedsAdmin ${LANG_SIMPCHINESE} "此安装供本机所有用户使用, 卸载需要管理员权限。"
LangString KriiNeedsAdmin ${LANG_ENGLISH} "This installation is for every user of this computer; removing it needs administrator rights."

Var KriiDir
Var KriiCreated

Function .onInit
  ; MultiUser sets the mode's default folder; a folder given with /D= wins.
  StrCpy $KriiDir $INSTDIR
  !insertmacro MULTIUSER_INIT
  ${If} $KriiDir != ""
    StrCpy $INSTDIR $KriiDir
  ${EndIf}
FunctionEnd

; Removes the folders above installation folder DIR up to TOP (the
; outermost one its installation made; none when empty), each when empty.
!macro KRII_REMOVE_CREATED DIR TOP
  StrCpy $R0 "${DIR}"
  StrCpy $R1 "${TOP}"
  ${DoWhile} $R1 != ""
    ${GetParent} $R0 $R0
    ${If} $R0 == ""
      ${Break}
    ${EndIf}
    RMDir $R0
    ${If} $R0 == $R1
      ${Break}
    ${EndIf}
  ${Loop}
!macroend

; Removes an installation of this mode (of this bundle or an older one, here
; or elsewhere) with its own uninstaller, so that none of its files stays
; behind; settings stay. Run in place (_?=), the uninstaller cannot remove
; itself, nor therefore its folder and those above it.
Function RemovePrevious
  ReadRegStr $0 SHCTX "${KRII_UNINST_KEY}" "InstallLocation"
  ReadRegStr $1 SHCTX "${KRII_UNINST_KEY}" "CreatedFolder"
  ${If} $0 == ""
  ${OrIfNot} ${FileExists} "$0\uninstall.exe"
    Return
  ${EndIf}
  ExecWait '"$0\uninstall.exe" /S _?=$0'
  Delete "$0\uninstall.exe"
  RMDir "$0"
  !insertmacro KRII_REMOVE_CREATED $0 $1
FunctionEnd

; The outermost of the folders above $INSTDIR that do not exist yet (those
; the installation makes, and its uninstaller removes again when empty), or
; "" into $KriiCreated.
Function FindCreated
  StrCpy $KriiCreated ""
  StrCpy $0 $INSTDIR
  ${Do}
    ${GetParent} $0 $0
    ${If} $0 == ""
    ${OrIf} ${FileExists} "$0\*.*"
      ${Break}
    ${EndIf}
    StrCpy $KriiCreated $0
  ${Loop}
FunctionEnd

Section
  Call RemovePrevious
  Call FindCreated
  !insertmacro KRII_INSTALL_FILES
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  !insertmacro KRII_SHORTCUTS
  WriteRegStr SHCTX "${KRII_UNINST_KEY}" "DisplayName" "krii ${KRII_VERSION}"
  WriteRegStr SHCTX "${KRII_UNINST_KEY}" "DisplayVersion" "${KRII_VERSION}"
  WriteRegStr SHCTX "${KRII_UNINST_KEY}" "Publisher" "korin"
  WriteRegStr SHCTX "${KRII_UNINST_KEY}" "DisplayIcon" "$INSTDIR\${KRII_ICON}"
  WriteRegStr SHCTX "${KRII_UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr SHCTX "${KRII_UNINST_KEY}" "CreatedFolder" "$KriiCreated"
  WriteRegStr SHCTX "${KRII_UNINST_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr SHCTX "${KRII_UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD SHCTX "${KRII_UNINST_KEY}" "NoModify" 1
  WriteRegDWORD SHCTX "${KRII_UNINST_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD SHCTX "${KRII_UNINST_KEY}" "EstimatedSize" $0
SectionEnd

Function un.onInit
  ; The installation this uninstaller belongs to is the one whose entry
  ; names its folder: per machine when that entry is the machine's.
  ReadRegStr $0 HKLM "${KRII_UNINST_KEY}" "InstallLocation"
  ${If} $0 == $INSTDIR
    UserInfo::GetAccountType
    Pop $1
    ${If} $1 != "Admin"
      MessageBox MB_OK|MB_ICONSTOP "$(KriiNeedsAdmin)" /SD IDOK
      SetErrorLevel 5
      Quit
    ${EndIf}
    SetShellVarContext all
  ${Else}
    SetShellVarContext current
  ${EndIf}
FunctionEnd

Section Uninstall
  !insertmacro KRII_REMOVE_SHORTCUTS
  !insertmacro KRII_REMOVE_FILES
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  ; Only the entry that names this folder (another installation's stays),
  ; and the folders above it that the installation made, when empty.
  ReadRegStr $0 SHCTX "${KRII_UNINST_KEY}" "InstallLocation"
  ${If} $0 == $INSTDIR
    ReadRegStr $1 SHCTX "${KRII_UNINST_KEY}" "CreatedFolder"
    DeleteRegKey SHCTX "${KRII_UNINST_KEY}"
    !insertmacro KRII_REMOVE_CREATED $INSTDIR $1
  ${EndIf}
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/RemoveSettings" $1
  ${IfNot} ${Errors}
    Call un.RemoveSettings
  ${ElseIfNot} ${Silent}
    MessageBox MB_YESNO|MB_ICONQUESTION|MB_DEFBUTTON2 "$(KriiRemoveSettings)" IDNO +2
    Call un.RemoveSettings
  ${EndIf}
SectionEnd

Function un.RemoveSettings
  DeleteRegKey HKCU "${KRII_SETTINGS_KEY}"
  DeleteRegKey /ifempty HKCU "Software\korin"
FunctionEnd
