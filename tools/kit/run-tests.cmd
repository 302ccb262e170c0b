@echo off
rem Ravelin's Windows test kit: runs the unit tests on this machine and writes one report archive,
rem ravelin-report-<computer>.zip, beside this file. Run it elevated (or as SYSTEM).
rem   run-tests.cmd [/roundtrip] [/agent PATH] [/filter PATTERN] [/timeout SECONDS]
rem /filter runs only the unit tests PATTERN names (GoogleTest's filter, e.g. FileInfoTest.*:LogTest.*).
rem /timeout ends a unit test run that has not finished after SECONDS (default 1800), with the report.
rem /roundtrip also takes the Security Center round trip with the agent at PATH (default: ravelin.exe
rem beside this file), which must be signed so that Security Center accepts it (README.txt says
rem what it changes on the machine and how it puts it back).
rem Everything is done by the kit's helper: this file only starts it, so that no character of the
rem folder's name (spaces, parentheses, "&", "!", "%") is read by the command interpreter.
"%~dp0ravelin-kit.exe" run %*
exit /b %errorlevel%
