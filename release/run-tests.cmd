@echo off
rem Runs orrelin_regdel's test suites on this Windows for each architecture it
rem can run, against the programs beside this file, or against the one given
rem with the suites of its architecture. Writes report\ beside this file:
rem summary.txt, and each suite's output and JUnit XML.
rem   run-tests.cmd [path\to\orrelin_regdel.exe]
rem Exit status: 0 when every test passed, 1 when any failed, 2 not started.
rem Written for Wine's cmd too, which ignores exit statuses in && and || and
rem takes no block in a for loop's body nor !var:~n! in a variable: statuses
rem are read with errorlevel, loops call labels, and labels cut with %var:~n%.
setlocal EnableExtensions EnableDelayedExpansion
set "kit=%~dp0"
set "report=%kit%report"
set "folder=HKCU\Software\VB and VBA Program Settings"
set "settings=%folder%\Orrelin"
rem Exists while a run goes on, so that the next run can tell one that was
rem interrupted and remove what it left.
set "mark=HKCU\Software\orrelin_regdel test kit"

if exist "%report%" rd /s /q "%report%"
mkdir "%report%"
if not exist "%report%" (
    echo Not started: cannot write %report%
    exit /b 2
)
reg query "%mark%" >nul 2>&1
if not errorlevel 1 (
    call :say "An earlier run did not finish: removing the test data it left."
    call :leftovers
)
reg query "%settings%" >nul 2>&1
if not errorlevel 1 (
    set "line=Not started: %settings% exists, and these tests delete that key. Set Orrelin's settings aside with: reg export "%settings%" orrelin.reg, then: reg delete "%settings%" /f; after the tests bring them back with: reg import orrelin.reg"
    call :say
    exit /b 2
)

rem x86 programs run on every Windows 10 and 11; x64 ones on x64 Windows,
rem and on ARM64 Windows 11 (build 22000 on) through its emulation. Where
rem the kit's own test programs do not start, that is said too.
set "cpu=%PROCESSOR_ARCHITEW6432%"
if not defined cpu set "cpu=%PROCESSOR_ARCHITECTURE%"
set "skip.x86=" & set "skip.x64=" & set "build=0"
if /i "%cpu%"=="x86" set "skip.x64=32-bit Windows cannot run x64 programs"
for /f "tokens=1,3" %%a in ('reg query "HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion" /v CurrentBuildNumber') do if "%%a"=="CurrentBuildNumber" set "build=%%b"
if /i "%cpu%"=="ARM64" if !build! lss 22000 set "skip.x64=ARM64 Windows 10 cannot run x64 programs"
for %%a in (x86 x64) do call :starts %%a
if defined skip.x86 if defined skip.x64 (
    set "line=Not started: !skip.x86!; !skip.x64!."
    call :say
    exit /b 2
)

set "program=" & set "only="
if not "%~1"=="" call :architecture_of "%~f1"
if not "%~1"=="" if not defined only exit /b 2

reg add "%mark%" /f >nul
reg query "%folder%" >nul 2>&1
if errorlevel 1 reg add "%mark%" /v "made the folder" /f >nul
set /a passed=0, failed=0
for %%a in (x86 x64) do call :architecture %%a
call :leftovers
set "line=!passed! passed, !failed! failed"
call :say
if !failed! gtr 0 exit /b 1
if !passed! equ 0 exit /b 1
exit /b 0

rem Whether this machine starts the kit's %1 test programs at all.
:starts
if defined skip.%1 goto :eof
"%kit%%1\release_checks.exe" --print-architecture "%kit%%1\release_checks.exe" >nul 2>&1
if errorlevel 1 set "skip.%1=its %1 test programs do not start on this machine"
goto :eof

rem Sets only to the architecture of the program %1, read by a checker that
rem starts here.
:architecture_of
set "program=%~1"
set "checker=x86"
if defined skip.x86 set "checker=x64"
"%kit%%checker%\release_checks.exe" --print-architecture "%~1" >"%report%\architecture.txt" 2>&1
if errorlevel 1 goto :not_a_program
set /p only=<"%report%\architecture.txt"
goto :eof
:not_a_program
set "line=Not started: %~1 is not an x86 or x64 Windows program."
call :say
goto :eof

:architecture
if defined only if /i not "%only%"=="%1" goto :eof
if defined skip.%1 (
    set "line=%1: skipped: !skip.%1!."
    call :say
    goto :eof
)
set "exe=%program%"
if not defined exe set "exe=%kit%%1\orrelin_regdel.exe"
set "line=%1: testing %exe%"
call :say
call :suite %1 accessor_tests
call :suite %1 removal_tree_tests
call :suite %1 removal_program_tests "%exe%"
call :suite %1 release_checks "%exe%"
goto :eof

rem Suite %2 of architecture %1, given the program %3 where it takes one.
rem The counts come from GoogleTest's closing lines, "[  PASSED  ] 9 tests."
rem and "[  FAILED  ] 2 tests, listed below:", then a line for each failed
rem case.
:suite
set "log=%report%\%1-%2.txt"
"%kit%%1\%2.exe" --gtest_color=no "--gtest_output=xml:%report%\%1-%2.xml" %3 >"%log%" 2>&1
set "status=%errorlevel%"
set "p=0" & set "f=0"
for /f "usebackq tokens=1-4" %%a in ("%log%") do if "%%a %%b"=="[ PASSED" set "p=%%d"
for /f "usebackq tokens=1-6" %%a in ("%log%") do if "%%a %%b %%f"=="[ FAILED listed" set "f=%%d"
rem A suite that ended without its closing lines counts as one failure.
if !status! neq 0 if !f! equ 0 set "f=1"
if !p! equ 0 if !f! equ 0 set "f=1"
set /a passed+=p, failed+=f
set "line=  %2: !p! passed, !f! failed (exit status !status!; report\%1-%2.txt)"
call :say
for /f "usebackq tokens=1,2,4*" %%a in ("%log%") do if "%%a %%b"=="[ FAILED" call :failed %1 "%%c" "%%d"
goto :eof

rem A "[  FAILED  ]" line of architecture %1's suite, by its case %2 and the
rem rest %3: names the case where it is one of those listed after the count.
rem The case's first such line ends in its time, "(5 ms)".
:failed
rem The dot keeps rest defined, as %var:~n% needs.
set "name=%~2" & set "rest=.%~3"
if "%rest:~-3%"=="ms)" goto :eof
if not "%rest:listed below=%"=="%rest%" goto :eof
if "%name:~-1%"=="," set "name=%name:~0,-1%"
set "line=    failed: %1 %name%"
call :say
goto :eof

rem What the tests make outside keys of their own: Orrelin's settings (the
rem kit does not start while they exist), the folder above them where the
rem run made it, and there keys and values with "orrelin_regdel test" in
rem their names, as on HKEY_CURRENT_USER itself. An interrupted run leaves them.
:leftovers
reg delete "%settings%" /f >nul 2>&1
reg delete "HKCU" /v "orrelin_regdel test value" /f >nul 2>&1
reg delete "%folder%" /v "orrelin_regdel test value" /f >nul 2>&1
for /f "usebackq delims=" %%k in (`reg query "%folder%" 2^>nul`) do call :own_key "%%k"
reg query "%mark%" /v "made the folder" >nul 2>&1
if errorlevel 1 goto :unmark
set "lines=0"
for /f "usebackq delims=" %%l in (`reg query "%folder%" /s 2^>nul`) do set /a lines+=1
if !lines! equ 1 reg delete "%folder%" /f >nul 2>&1
:unmark
reg delete "%mark%" /f >nul 2>&1
goto :eof

:own_key
set "key=%~1"
if not "%key:orrelin_regdel test=%"=="%key%" reg delete "%key%" /f >nul 2>&1
goto :eof

rem Shows the text %1, or else the variable line, and adds it to the summary.
:say
if not "%~1"=="" set "line=%~1"
echo !line!
>>"%report%\summary.txt" echo !line!
goto :eof
