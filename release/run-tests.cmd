@echo off
rem Runs orrelin_regdel's test suites on this Windows, against the programs
rem beside this file or the one given:  run-tests.cmd [path\to\orrelin_regdel.exe]
rem The runner does the work and writes report\ here; see its summary.
rem Exit status: 0 when every test passed, 1 when any failed, 2 not started.
rem Its own folder comes from %~dp0 inside quotes, never stored in a variable
rem nor passed through call, so any character in it stays as it is.
setlocal DisableDelayedExpansion
rem A variable of that name would stand for the runner's exit status below.
set "ERRORLEVEL="
"%~dp0x64\kit_runner.exe" %*
rem The x64 runner cannot start on 32-bit or ARM64 Windows 10: the x86 one.
if errorlevel 3 "%~dp0x86\kit_runner.exe" %*
exit /b %errorlevel%
