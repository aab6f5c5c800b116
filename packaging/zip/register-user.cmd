@echo off
rem Registers both modules of this folder for the current user only: no administrator rights needed.
setlocal
call "%~dp0tools\common.cmd" init
call "%~dp0tools\common.cmd" msi_installed
if not errorlevel 1 (
  call "%~dp0tools\common.cmd" refuse_over_msi
  set "failed=1"
  goto :finish
)
call "%~dp0tools\common.cmd" run register user
:finish
call "%~dp0tools\common.cmd" finish %*
exit /b %errorlevel%
