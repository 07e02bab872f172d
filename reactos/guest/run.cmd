@echo off
rem The payload disc's test run, started at the first log-on (unattend.inf's
rem GuiRunOnce): harlen.inf among the system's INFs (a bridge plugged later installs
rem from it, as on Windows), then every scenario script on the disc, its
rem output going to the host over COM2.
rem Explorer runs GuiRunOnce's command before it makes the desktop and waits for it,
rem so the run goes on in a process of its own and the log-on completes.
if not "%1"=="detached" (
  start "varrow" /min cmd /c "%~f0" detached
  goto :eof
)
set disc=%~d0
%disc%\harlen_wine.exe stage %disc%\harlen.inf > "%TEMP%\stage.txt" 2>&1
for /f "delims=" %%l in (%TEMP%\stage.txt) do dbgprint "varrow-guest: %%l"
dbgprint "varrow-guest: ready"
rem In the host's order: scenarios a ReactOS fault may crash the machine come last.
for /f %%s in (%disc%\scenarios\order.lst) do call :scenario %disc%\scenarios\%%s.txt %%s
rem The host ends the machine: it keeps nothing of a run.
dbgprint "varrow-guest: done"
goto :eof

:scenario
dbgprint "varrow-guest: scenario %2"
%disc%\harlen_wine.exe run --link COM2 --inf %disc%\harlen.inf --outcomes %1
dbgprint "varrow-guest: scenario-end %2 %errorlevel%"
goto :eof
