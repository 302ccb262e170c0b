@echo off
rem Ravelin's Windows test kit: runs the unit tests on this machine and writes one report archive,
rem ravelin-report-<computer>.zip, beside this file. Run it elevated (or as SYSTEM).
rem   run-tests.cmd [/roundtrip] [/agent PATH] [/filter PATTERN]
rem /filter runs only the unit tests PATTERN names (GoogleTest's filter, e.g. FileInfoTest.*:LogTest.*).
rem /roundtrip also takes the Security Center round trip with the agent at PATH (default: ravelin.exe
rem beside this file), which must be signed so that Security Center accepts it: register, each state
rem word, each time word, each read back over WMI, remove. The agent's settings key is saved first
rem and put back at the end.
setlocal EnableExtensions EnableDelayedExpansion
set "kit=%~dp0"
set "report=%kit%report"
set "archive=%kit%ravelin-report-%COMPUTERNAME%.zip"
set "agent=%kit%ravelin.exe"
set "roundtrip="
set "filter=*"

:options
if "%~1"=="" goto run
if /i "%~1"=="/roundtrip" (
  set "roundtrip=1"
  shift
  goto options
)
if /i "%~1"=="/agent" (
  set "agent=%~f2"
  shift
  shift
  goto options
)
if /i "%~1"=="/filter" (
  set "filter=%~2"
  shift
  shift
  goto options
)
echo Unknown option %1. Usage: run-tests.cmd [/roundtrip] [/agent PATH] [/filter PATTERN]
exit /b 2

:run
if exist "%report%" rmdir /s /q "%report%"
mkdir "%report%"
echo Running the unit tests (their output: %report%\unit-tests.txt)...
"%kit%unit_tests.exe" "--gtest_output=xml:%report%\unit-tests.xml" "--gtest_filter=!filter!" > "%report%\unit-tests.txt" 2>&1
if defined roundtrip call :roundtrip
"%kit%ravelin-kit.exe" report "%report%" "%archive%" > nul
if errorlevel 1 (
  echo The report could not be written.
  exit /b 1
)
type "%report%\summary.txt"
echo.
echo The report to send back: %archive%
exit /b 0

:roundtrip
set "key=HKLM\SYSTEM\CurrentControlSet\Services\torq1\Settings\integration\security_center"
set "trip=%report%\round-trip.txt"
set "saved="
rem The key is never deleted (the product's installer may have given it, or "Instance", an access
rem list of its own): what it held is imported back at the end, and the values it lacked and the
rem round trip adds are deleted.
set "values=DisplayName ExpirationTime OutOfDateTime DefinitionsUpdateTime RegisterTime ProductInstallationTime LastNearExpirationNotificationTime"
set "lacked="
reg query "%key%" > nul 2>&1
if not errorlevel 1 (
  reg export "%key%" "%report%\settings-before.reg" /y > nul 2>&1
  if not errorlevel 1 set "saved=1"
)
for %%v in (%values%) do (
  reg query "%key%" /v %%v > nul 2>&1
  if errorlevel 1 set "lacked=!lacked! %%v"
)
set "name="
for /f "tokens=1,2,*" %%a in ('reg query "%key%" /v DisplayName 2^>nul') do if /i "%%a"=="DisplayName" set "name=%%c"
if not defined name (
  set "name=Ravelin test kit"
  reg add "%key%" /v DisplayName /t REG_SZ /d "Ravelin test kit" /f > nul
)
rem The times the product keeps: none at the start, so that every step's answer is known.
for %%v in (ExpirationTime OutOfDateTime DefinitionsUpdateTime RegisterTime ProductInstallationTime) do (
  reg delete "%key%" /v %%v /f > nul 2>&1
)
echo Round trip of "%agent%" as "!name!" > "%trip%"
echo Running the Security Center round trip (%trip%)...
call :step "register" "/REGISTER" "On up-to-date"
call :step "snooze" "/UPDATE_WSC=SNOOZE" "Snoozed up-to-date"
call :step "enable" "/UPDATE_WSC=ENABLE" "On up-to-date"
reg add "%key%" /v ExpirationTime /t REG_QWORD /d 1000000000 /f > nul
call :step "expiration time in 2001" "/UPDATE_WSC=SET_EXPIRATION_TIME" "Expired up-to-date"
reg delete "%key%" /v ExpirationTime /f > nul
rem Security Center shows the product expired, which the time word reports as snoozed.
call :step "expiration time removed" "/UPDATE_WSC=REMOVE_EXPIRATION_TIME" "Snoozed up-to-date"
reg add "%key%" /v OutOfDateTime /t REG_QWORD /d 1000000000 /f > nul
call :step "out-of-date time in 2001" "/UPDATE_WSC=SET_OUT_OF_DATE_TIME" "Snoozed out-of-date"
reg delete "%key%" /v OutOfDateTime /f > nul
call :step "out-of-date time removed" "/UPDATE_WSC=REMOVE_OUT_OF_DATE_TIME" "Snoozed up-to-date"
call :step "remove" "/REMOVE" "absent"
if not defined saved (
  reg delete "%key%" /f > nul 2>&1
  exit /b 0
)
reg import "%report%\settings-before.reg" > nul 2>&1
for %%v in (%lacked%) do reg delete "%key%" /v %%v /f > nul 2>&1
exit /b 0

rem :step NAME ARGUMENTS EXPECTED: runs the agent, reads its entry back, and writes the step's line.
:step
start "" /wait "%agent%" %~2
set "code=!errorlevel!"
set "seen=(nothing)"
for /f "delims=" %%s in ('""%kit%ravelin-kit.exe" products "!name!""') do set "seen=%%s"
if "!code!"=="0" if "!seen!"=="%~3" (
  echo ok %~1: ravelin.exe %~2 ended with 0; expected and seen: !seen!>> "%trip%"
  exit /b 0
)
echo MISMATCH %~1: ravelin.exe %~2 ended with !code!; expected 0 and %~3, seen: !seen!>> "%trip%"
exit /b 0
