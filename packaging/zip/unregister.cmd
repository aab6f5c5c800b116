@echo off
rem Removes the registration of both modules: the current user's always, the computer's when the
rem script has administrator rights. A machine registration that stays is a failure: the folder
rem must not be deleted while the till can still load the module from it.
setlocal
call "%~dp0tools\common.cmd" init
call "%~dp0tools\common.cmd" run unregister user
call "%~dp0tools\common.cmd" msi_installed
if not errorlevel 1 (
  echo Регистрация для всех пользователей сделана установщиком ^(MSI^) и не тронута:
  echo удалите драйвер через "Программы и компоненты" или msiexec /x.
  set "failed=1"
  goto :finish
)
call "%~dp0tools\common.cmd" machine_registered
if errorlevel 1 goto :finish
call "%~dp0tools\common.cmd" has_admin_rights
if errorlevel 1 (
  echo Регистрация для всех пользователей осталась: для её снятия нужны права администратора.
  echo Запустите unregister.cmd правой кнопкой мыши: "Запуск от имени администратора".
  echo Не удаляйте папку драйвера, пока эта регистрация есть: кассовая программа берёт драйвер из неё.
  set "failed=1"
  goto :finish
)
call "%~dp0tools\common.cmd" run unregister machine
:finish
call "%~dp0tools\common.cmd" finish %*
exit /b %errorlevel%
