@echo off
rem Runs orrelin_regdel's test suites on this Windows, against the programs
rem beside this file or the one given:  run-tests.cmd [path\to\orrelin_regdel.exe]
rem The runner does the work and writes report\ here; see its summary.
rem Exit status: 0 when every test passed, 1 when any failed, 2 not started.
rem Its own folder is read once, quoted and never expanded again, so any
rem characters in it stay as they are.
setlocal DisableDelayedExpansion
"%~dp0x64\kit_runner.exe" %*
rem The x64 runner cannot start on 32-bit or ARM64 Windows 10: the x86 one.
if errorlevel 3 "%~dp0x86\kit_runner.exe" %*
exit /b %errorlevel%
