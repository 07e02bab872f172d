@echo off
rem The payload disc's test run, started at the first log-on (unattend.inf's
rem GuiRunOnce): harlen.inf among the system's INFs (a bridge plugged later installs
rem from it, as on Windows), then every scenario script on the disc, its
rem output going to the host over COM2.
set disc=%~d0
%disc%\harlen_wine.exe stage %disc%\harlen.inf > "%TEMP%\stage.txt" 2>&1
for /f "delims=" %%l in (%TEMP%\stage.txt) do dbgprint "varrow-guest: %%l"
dbgprint "varrow-guest: ready"
for %%s in (%disc%\scenarios\*.txt) do call :scenario %%s %%~ns
rem The host ends the machine: it keeps nothing of a run.
dbgprint "varrow-guest: done"
goto :eof

:scenario
dbgprint "varrow-guest: scenario %2"
%disc%\harlen_wine.exe run --link COM2 --outcomes %1
dbgprint "varrow-guest: scenario-end %2 %errorlevel%"
goto :eof
