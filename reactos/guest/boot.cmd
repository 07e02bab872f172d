@echo off
rem At every log-on: runs the payload disc's run.cmd, from whichever drive holds it.
for %%d in (D E F G H) do if exist %%d:\run.cmd (
  call %%d:\run.cmd %%d:
  goto :eof
)
dbgprint "varrow-guest: no payload"
