@echo off
rem zept-deploy.cmd ACTION LOG [HOST] - ZEPT on a Windows Delvan server, for
rem deployment engines: ACTION is install (install, or upgrade what is
rem there), remove, or detect. LOG receives the installer's whole transcript
rem (appended; "-" for standard output). HOST is the host program folder,
rem the one with pagra.exe; without it pagra.exe is looked up on PATH, as
rem the installer does. The package (nzeptins.exe and its 20 files), the
rem answer files and zept-probe.js lie beside this script, or in
rem ZEPT_DIST and ZEPT_ANSWERS.
rem
rem The last line of standard output is the result: "changed" or
rem "unchanged" (install, remove) or the state (detect). Exit status: see
rem "Deployment with engines" in the README; 0 only when the state found
rem afterwards is the one asked for.
setlocal EnableExtensions DisableDelayedExpansion

set "ACTION=%~1"
set "LOG=%~2"
set "HOSTARG=%~3"
set "HERE=%~dp0"
if "%ACTION%"=="install" goto :args_ok
if "%ACTION%"=="remove" goto :args_ok
if "%ACTION%"=="detect" goto :args_ok
set "LOG="
call :fail 10 "usage: zept-deploy.cmd install|remove|detect LOG [HOST]"
exit /b 10
:args_ok
if not defined LOG (
  set "LOG="
  call :fail 10 "usage: zept-deploy.cmd %ACTION% LOG [HOST] (LOG may be -)"
  exit /b 10
)
set "DIST=%ZEPT_DIST%"
if not defined DIST set "DIST=%HERE%"
if not "%DIST:~-1%"=="\" set "DIST=%DIST%\"
set "ANSWERS=%ZEPT_ANSWERS%"
if not defined ANSWERS set "ANSWERS=%HERE%"
if "%ANSWERS:~-1%"=="\" set "ANSWERS=%ANSWERS:~0,-1%"
if not exist "%ANSWERS%\install.txt" if exist "%HERE%..\scripts\unattended\install.txt" set "ANSWERS=%HERE%..\scripts\unattended"

if "%LOG%"=="-" goto :log_ok
for %%L in ("%LOG%") do set "LOG=%%~fL"
for %%L in ("%LOG%") do set "LOGDIR=%%~dpL"
if not exist "%LOGDIR%" mkdir "%LOGDIR%" 2>nul
call :note "%ACTION% %DATE% %TIME%"
if errorlevel 1 (
  set "LOG="
  call :fail 13 "cannot write the log file %~2"
  exit /b 13
)
:log_ok

rem The 32-bit script host reads the registry through the 32-bit view, as
rem the installer writes it (on 64-bit Windows it lives in SysWOW64).
set "CSCRIPT=%SystemRoot%\SysWOW64\cscript.exe"
if not exist "%CSCRIPT%" set "CSCRIPT=%SystemRoot%\System32\cscript.exe"
set "PROBE_OUT=%TEMP%\zept-probe-%RANDOM%%RANDOM%.txt"

if not defined HOSTARG goto :host_ok
if not exist "%HOSTARG%\pagra.exe" (
  call :fail 11 "no pagra.exe in the host folder %HOSTARG%"
  exit /b 11
)
rem The installer proposes the first folder on PATH with pagra.exe.
for %%H in ("%HOSTARG%\.") do set "PATH=%%~fH;%PATH%"
:host_ok

call :probe
if errorlevel 1 exit /b %ERRORLEVEL%
set "BEFORE=%STATE%"
call :note "%ACTION% on host %HOST% (pagra.ini %INI%, data %DATA%): state %BEFORE%"
if not "%ACTION%"=="detect" goto :act
echo %BEFORE%
if "%BEFORE%"=="present" exit /b 0
if "%BEFORE%"=="absent" exit /b 1
exit /b 2

:act
set "WANT=present"
if "%ACTION%"=="remove" set "WANT=absent"
if not "%ACTION%"=="install" goto :dist_ok
call :check_dist
if errorlevel 1 exit /b 12
:dist_ok
if not "%BEFORE%"=="%WANT%" goto :run
call :note "nothing to do"
echo unchanged
exit /b 0

:run
rem The answer file that fits the dialogue this state leads to: the
rem installer shows its existing-installation menu when ZEPT is listed.
set "REMOVER="
if "%ACTION%"=="remove" goto :pick_remove
set "RUN_DIR=%DIST%"
set "PROGRAM=%DIST%nzeptins.exe"
set "ANSWER=install.txt"
if "%LISTED%"=="1" set "ANSWER=upgrade.txt"
goto :picked
:pick_remove
if exist "%HOST%nzeptrmv.exe" (
  set "RUN_DIR=%HOST%"
  set "PROGRAM=%HOST%nzeptrmv.exe"
  set "ANSWER=remove.txt"
  set "REMOVER=1"
  goto :picked
)
if "%LISTED%"=="1" if exist "%DIST%nzeptins.exe" (
  set "RUN_DIR=%DIST%"
  set "PROGRAM=%DIST%nzeptins.exe"
  set "ANSWER=remove-from-install.txt"
  goto :picked
)
call :fail 14 "the host holds part of the package but no remover (%HOST%nzeptrmv.exe), and pagra.ini does not list ZEPT: remove what is left by hand"
exit /b 14
:picked
if not exist "%ANSWERS%\%ANSWER%" (
  call :fail 12 "no answer file %ANSWERS%\%ANSWER%"
  exit /b 12
)

echo state before: %BEFORE%; running "%PROGRAM%" ^< %ANSWER%
call :note "running %PROGRAM% < %ANSWERS%\%ANSWER%"
pushd "%RUN_DIR%"
if "%LOG%"=="-" goto :run_plain
"%PROGRAM%" <"%ANSWERS%\%ANSWER%" >>"%LOG%" 2>&1
goto :ran
:run_plain
"%PROGRAM%" <"%ANSWERS%\%ANSWER%" 2>&1
:ran
set "STATUS=%ERRORLEVEL%"
popd

rem The command interpreter deletes the remover and its library once the
rem remover has ended, trying about once a second for up to 30 tries.
if not defined REMOVER goto :waited
if not "%STATUS%"=="0" goto :waited
set /a "TRIES=0"
:wait_cleanup
if not exist "%HOST%nzeptrmv.exe" if not exist "%HOST%kccmn10.dll" goto :waited
set /a "TRIES+=1"
if %TRIES% GTR 40 goto :waited
"%SystemRoot%\System32\ping.exe" -n 2 127.0.0.1 >nul
goto :wait_cleanup
:waited

call :probe
if errorlevel 1 exit /b %ERRORLEVEL%
set "AFTER=%STATE%"
call :note "the program ended with status %STATUS%; state %AFTER%"
echo program status %STATUS%; state after: %AFTER%
if "%STATUS%"=="0" goto :status_ok
if "%STATUS%"=="6" (
  call :fail 1618 "another install or removal is running on this host: nothing was done, try again later"
  exit /b 1618
)
set /a "CODE=20+STATUS" 2>nul
if %STATUS% GEQ 1 if %STATUS% LEQ 5 (
  call :fail %CODE% "the program ended with status %STATUS% (see the README's exit status table and the transcript in %LOG%)"
  exit /b %CODE%
)
call :fail 28 "the program ended with status %STATUS%"
exit /b 28
:status_ok
if not "%AFTER%"=="%WANT%" (
  call :fail 29 "the program reported success, but the state is %AFTER%, not %WANT%"
  exit /b 29
)
call :note "changed"
echo changed
exit /b 0

rem ---- Subroutines ----

rem Sets HOST, INI, DATA, LISTED and STATE from zept-probe.js; 11 when the
rem host cannot be found, 27 when the script host fails.
:probe
for %%V in (HOST INI DATA LISTED STATE ERROR) do set "%%V="
"%CSCRIPT%" //nologo "%HERE%zept-probe.js" "%DIST%." >"%PROBE_OUT%" 2>&1
set "PROBE_STATUS=%ERRORLEVEL%"
for /f "usebackq tokens=1,* delims==" %%A in ("%PROBE_OUT%") do set "%%A=%%B"
if not defined STATE if not defined ERROR set /p "ERROR=" <"%PROBE_OUT%"
del "%PROBE_OUT%" 2>nul
if defined STATE exit /b 0
if "%PROBE_STATUS%"=="11" (
  call :fail 11 "%ERROR%"
  exit /b 11
)
call :fail 27 "the state could not be read: the script host ended with status %PROBE_STATUS%: %ERROR%"
exit /b 27

:check_dist
if not exist "%DIST%nzeptins.exe" (
  call :fail 12 "no nzeptins.exe in the distribution folder %DIST%"
  exit /b 12
)
set "MISSING="
for %%F in (nzept.exe nkctest.exe norder.kcx nedasql.kcx ndb2.kcx nsybase.kcx nodbc2.kcx noracle.kcx nfile.kcx
            npagra.kcx nzeptext.dll nqsxkc.dll nkcapi.dll nkchtapi.dll msvcirt.dll msvcrt40.dll kccmn10.dll
            kccsn13.tlb zeptadm.ptf zeptdoc.psf) do if not exist "%DIST%%%F" set "MISSING=%%F"
if not defined MISSING exit /b 0
call :fail 12 "the distribution folder %DIST% lacks %MISSING%"
exit /b 12

rem A line for the log (standard output when LOG is -). The text passes
rem through a for variable, expanded after the line is parsed, so that a
rem path's "&" or ")" stays text. Whether it was written shows in the
rem file's size: the remover's clean-up may hold the log a moment after
rem the remover ends, so a few tries; 1 when none wrote it.
:note
if not defined LOG exit /b 0
if "%LOG%"=="-" (
  for %%M in ("%~1") do echo.zept-deploy: %%~M
  exit /b 0
)
set /a "TRY=0"
:note_again
set "SIZE=-1"
if exist "%LOG%" for %%F in ("%LOG%") do set "SIZE=%%~zF"
for %%M in ("%~1") do >>"%LOG%" echo.zept-deploy: %%~M
set "GREW=-1"
if exist "%LOG%" for %%F in ("%LOG%") do set "GREW=%%~zF"
if %GREW% GTR %SIZE% exit /b 0
set /a "TRY+=1"
if %TRY% GEQ 5 goto :note_failed
"%SystemRoot%\System32\ping.exe" -n 2 127.0.0.1 >nul
goto :note_again
:note_failed
for %%M in ("%LOG%") do echo zept-deploy: the log file %%~M cannot be written to 1>&2
exit /b 1

:fail
for %%M in ("%~2") do echo.zept-deploy: %%~M 1>&2
call :note "%~2"
exit /b %~1
