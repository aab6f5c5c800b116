@echo off
rem Removes the registration of both modules: the current user's always, the computer's when the
rem script has administrator rights.
setlocal
call "%~dp0tools\common.cmd" init
call "%~dp0tools\common.cmd" run unregister user
call "%~dp0tools\common.cmd" has_admin_rights
if errorlevel 1 (
  echo Регистрация для всех пользователей не тронута: для её снятия нужны права администратора.
  goto :finish
)
call "%~dp0tools\common.cmd" run unregister machine
:finish
call "%~dp0tools\common.cmd" finish %*
exit /b %errorlevel%
