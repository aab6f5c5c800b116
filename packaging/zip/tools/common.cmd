@echo off
rem Shared by register.cmd, register-user.cmd and unregister.cmd. Called as
rem   common.cmd init | has_admin_rights | msi_installed | machine_registered | run ACTION SCOPE
rem            | finish [/nopause]
rem with ACTION register or unregister and SCOPE machine or user. Variables it sets stay in the
rem caller's environment, so the caller's setlocal holds them.
goto :%~1

:init
set "failed=0"
for %%F in ("%~dp0..") do set "package=%%~fF"
rem A 64-bit Windows has SysWOW64: its regsvr32 is the 32-bit one. When this script itself runs
rem as a 32-bit process there, System32 shows SysWOW64 too and Sysnative is the real System32.
set "regsvr64="
if exist "%SystemRoot%\SysWOW64\regsvr32.exe" (
  set "regsvr32=%SystemRoot%\SysWOW64\regsvr32.exe"
  set "regsvr64=%SystemRoot%\System32\regsvr32.exe"
  if exist "%SystemRoot%\Sysnative\regsvr32.exe" set "regsvr64=%SystemRoot%\Sysnative\regsvr32.exe"
) else (
  set "regsvr32=%SystemRoot%\System32\regsvr32.exe"
)
exit /b 0

:has_admin_rights
rem Machine-wide registration writes under HKLM\Software\Classes: try exactly that.
rem (No "||" here or anywhere in these scripts: Wine's cmd runs its right side even on success.)
reg add "HKLM\Software\Classes\ls_tallowmer.rights-check" /f >nul 2>&1
if errorlevel 1 exit /b 1
reg delete "HKLM\Software\Classes\ls_tallowmer.rights-check" /f >nul 2>&1
exit /b 0

:msi_installed
rem The installer (MSI) marks its installation in either registry view; the zip's scripts then keep
rem their hands off: a second registration of the same class would decide which copy the till loads.
reg query "HKLM\Software\Quorvane\ls_tallowmer" /v InstallMethod /reg:64 >nul 2>&1
if not errorlevel 1 exit /b 0
reg query "HKLM\Software\Quorvane\ls_tallowmer" /v InstallMethod /reg:32 >nul 2>&1
if not errorlevel 1 exit /b 0
exit /b 1

:refuse_over_msi
echo Драйвер уже установлен установщиком ls_tallowmer-...msi: регистрация из архива не нужна
echo и сделала бы две регистрации одного драйвера. Используйте один способ установки:
echo обновляйте и удаляйте драйвер через установщик и "Программы и компоненты".
exit /b 0

:machine_registered
rem Whether a registration for every user is still there, in either registry view.
reg query "HKLM\Software\Classes\CLSID\{7C41E9A2-3D58-4B16-A0F3-95B2C6D84E17}\InprocServer32" /reg:64 >nul 2>&1
if not errorlevel 1 exit /b 0
reg query "HKLM\Software\Classes\CLSID\{7C41E9A2-3D58-4B16-A0F3-95B2C6D84E17}\InprocServer32" /reg:32 >nul 2>&1
if not errorlevel 1 exit /b 0
exit /b 1

:run
call :module 32 x86 "%regsvr32%" %2 %3
if defined regsvr64 (
  call :module 64 x64 "%regsvr64%" %2 %3
) else (
  echo 64-разрядный драйвер пропущен: эта Windows 32-разрядная.
)
exit /b 0

:module
set "dll=%package%\%~2\ls_tallowmer.dll"
set "who=для всех пользователей"
set "options=/s"
if "%~5"=="user" (
  set "who=для пользователя %USERNAME%"
  set "options=/s /n /i:user"
)
if "%~4"=="unregister" set "options=/u %options%"
if not exist "%dll%" (
  echo Ошибка: нет файла %dll%. Распакуйте архив целиком.
  set "failed=1"
  exit /b 1
)
"%~3" %options% "%dll%"
set "code=%errorlevel%"
if "%code%"=="0" (
  if "%~4"=="register" echo Готово: %~1-разрядный драйвер зарегистрирован %who%.
  if "%~4"=="unregister" echo Готово: регистрация %~1-разрядного драйвера %who% снята.
  exit /b 0
)
set "failed=1"
if "%~4"=="register" echo Ошибка: %~1-разрядный драйвер не зарегистрирован %who% ^(код %code%^).
if "%~4"=="unregister" echo Ошибка: регистрация %~1-разрядного драйвера %who% не снята ^(код %code%^).
if "%code%"=="3" echo   Модуль не загружается: файл повреждён или не подходит к этой Windows.
if "%code%"=="5" echo   Модуль не смог записать реестр: не хватает прав.
exit /b 1

:finish
if "%failed%"=="0" (
  echo Всё выполнено успешно.
) else (
  echo Не всё получилось: см. сообщения выше. Контакты поддержки - в файле ПРОЧТИМЕНЯ.txt.
)
if /i not "%~2"=="/nopause" pause
exit /b %failed%
