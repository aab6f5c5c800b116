@echo off
rem Registers both modules of this folder for every user of the computer. Needs administrator rights.
rem Kept as UTF-8 in the sources; the package stores it in code page 866, the one cmd reads.
setlocal
call "%~dp0tools\common.cmd" init
call "%~dp0tools\common.cmd" msi_installed
if not errorlevel 1 (
  call "%~dp0tools\common.cmd" refuse_over_msi
  set "failed=1"
  goto :finish
)

call "%~dp0tools\common.cmd" has_admin_rights
if errorlevel 1 (
  echo Нет прав администратора. Регистрация для всех пользователей невозможна.
  echo Запустите register.cmd правой кнопкой мыши: "Запуск от имени администратора",
  echo или зарегистрируйте драйвер только для себя: register-user.cmd.
  set "failed=1"
  goto :finish
)

call "%~dp0tools\common.cmd" run register machine
:finish
call "%~dp0tools\common.cmd" finish %*
exit /b %errorlevel%
