; The same launcher written as a script for a general installer system: the
; same registry reads, version check, prompts and runs, and the same icon.
Unicode false
SilentInstall silent
RequestExecutionLevel user
Icon "..\resources\launcher.ico"
OutFile "${OUTFILE}"
Name "Orvane PlayList CD"

Var AppDir
Var Autorun
Var PlayerVersion
Var Registered
Var CdVersion
Var Installer

!macro ReadRegistration
  StrCpy $Registered 0
  StrCpy $Autorun 1
  StrCpy $PlayerVersion 0
  ClearErrors
  ReadRegStr $AppDir HKCU "Software\Ervast\Orvane" "AppDir"
  ${If} ${Errors}
    ClearErrors
    ReadRegStr $AppDir HKLM "Software\Ervast\Orvane" "AppDir"
  ${EndIf}
  ${IfNot} ${Errors}
    StrCpy $Registered 1
  ${EndIf}
  ReadRegDWORD $0 HKCU "Software\Ervast\Orvane" "AutorunPlayListCDs"
  ${IfNot} ${Errors}
    StrCpy $Autorun $0
  ${EndIf}
  ReadRegDWORD $0 HKCU "Software\Ervast\Orvane" "PlayerVersion"
  ${IfNot} ${Errors}
    StrCpy $PlayerVersion $0
  ${EndIf}
!macroend

!include LogicLib.nsh

Section
  !insertmacro ReadRegistration
  ${If} $Autorun == 0
    SetErrorLevel 1
    Quit
  ${EndIf}
  StrCpy $Installer "$EXEDIR\Orvane Installer\ervast_orvane.exe"
  StrCpy $CdVersion 0
  GetDLLVersion $Installer $R0 $R1
  ${IfNot} ${Errors}
    StrCpy $CdVersion $R0
  ${EndIf}
  ${If} $Registered == 0
  ${AndIf} $CdVersion != 0
    MessageBox MB_YESNO|MB_ICONINFORMATION "You have inserted an Orvane Playlist CD. In order to automatically play this CD you have to install Orvane.$\n$\nDo you want to install Orvane now?" IDNO declined
    ExecWait '"$Installer"' $0
    ${If} $0 != 0
      SetErrorLevel -3
      Quit
    ${EndIf}
    !insertmacro ReadRegistration
  ${EndIf}
  ${If} $Registered == 1
  ${AndIf} $PlayerVersion U< $CdVersion
    MessageBox MB_YESNO|MB_ICONINFORMATION "You have inserted an Orvane Playlist CD. The version of Orvane on this CD is newer than the one you have currently installed.$\n$\nDo you want to install the updated version of Orvane now?" IDNO start
    ExecWait '"$Installer"' $0
    ${If} $0 == 0
      !insertmacro ReadRegistration
    ${EndIf}
  ${EndIf}
  start:
  ${If} $Registered == 1
    Exec '"$AppDir\Orvanex.exe" -p -l "$EXEDIR\CDPlayList.p4u"'
    Quit
  ${EndIf}
  declined:
  SetErrorLevel 1
SectionEnd
