; A sample product installer that ships installhooks.dll and calls its hooks
; where a suite installer calls them:
;
;   install:   product files, then DllPostInstall, then DllCreateTasks
;   uninstall: DllPreUnInstall (or DllZudaUnInstall with /ZUDA), then the
;              product files
;
; Build (makensis runs on Linux or Windows):
;   makensis -DHOOKS_DLL=path/to/installhooks.dll -DOUTFILE=path/to/KorvanHookSample.exe installhooks-sample.nsi
;
; Run:
;   KorvanHookSample.exe [/S] [/RESULTS=C:\path\results.txt] [/D=C:\install dir]
;   uninstall.exe        [/S] [/ZUDA] [/RESULTS=C:\path\results.txt] [_?=C:\install dir]
;
; Every hook's result is appended to the results file (a path without spaces;
; by default $TEMP\installhooks-sample-results.txt) as one line
; "DllPostInstall=0". The System plug-in gives "error" instead of a number when
; it cannot load the DLL or find the export, and "not called" stays when it
; could not make sense of the call.

Unicode true
!ifndef HOOKS_DLL
  !error "define HOOKS_DLL, the path of the installhooks.dll to ship"
!endif
!ifndef OUTFILE
  !define OUTFILE "KorvanHookSample.exe"
!endif

!include FileFunc.nsh
!include LogicLib.nsh

Name "Korvan Hook Sample"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES\Korvan Hook Sample"
RequestExecutionLevel admin
SetCompressor zlib

Var Results ; where each hook's result is recorded

; The hooks are stdcall exports, called by name with pointer-sized arguments
; that they ignore; each returns a 32-bit 0. "?u" frees the DLL after the call,
; so the installer never keeps it loaded between hooks and the uninstaller can
; delete it. The path is quoted: unquoted, the "(" of "Program Files (x86)"
; would be taken for the start of the argument list.
!macro CallHook HOOK ARGS
  StrCpy $0 "not called"
  System::Call '"$INSTDIR\installhooks.dll"::${HOOK}(${ARGS}) i .r0 ?u'
  FileOpen $1 $Results a
  FileSeek $1 0 END
  FileWrite $1 "${HOOK}=$0$\r$\n"
  FileClose $1
!macroend

Function .onInit
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/RESULTS=" $Results
  ${If} ${Errors}
    StrCpy $Results "$TEMP\installhooks-sample-results.txt"
  ${EndIf}
FunctionEnd

Section "Product files"
  SetOutPath "$INSTDIR"
  File "/oname=installhooks.dll" "${HOOKS_DLL}"
  File "product.txt"
  WriteUninstaller "$INSTDIR\uninstall.exe"
SectionEnd

Section "Install hooks"
  !insertmacro CallHook DllPostInstall "p 0, p 0, p 0, p 0"
  !insertmacro CallHook DllCreateTasks "p 0, p 0, p 0, p 0"
SectionEnd

Function un.onInit
  ${un.GetParameters} $R0
  ClearErrors
  ${un.GetOptions} $R0 "/RESULTS=" $Results
  ${If} ${Errors}
    StrCpy $Results "$TEMP\installhooks-sample-results.txt"
  ${EndIf}
FunctionEnd

Section "Uninstall"
  ${un.GetParameters} $R0
  ClearErrors
  ${un.GetOptions} $R0 "/ZUDA" $R1
  ${If} ${Errors}
    !insertmacro CallHook DllPreUnInstall "p 0, p 0, p 0, p 0"
  ${Else}
    !insertmacro CallHook DllZudaUnInstall "p 0"
  ${EndIf}

  ; The hook freed the DLL; record that it is no longer mapped in this
  ; process before its file goes.
  System::Call 'kernel32::GetModuleHandle(t "$INSTDIR\installhooks.dll") p .r0'
  ${If} $0 = 0
    StrCpy $0 "no"
  ${Else}
    StrCpy $0 "yes"
  ${EndIf}
  FileOpen $1 $Results a
  FileSeek $1 0 END
  FileWrite $1 "LoadedAtRemoval=$0$\r$\n"
  FileClose $1

  Delete "$INSTDIR\installhooks.dll"
  Delete "$INSTDIR\product.txt"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
SectionEnd
