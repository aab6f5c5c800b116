' A host opening the driver's settings dialog while settings_robot.exe plays the user: the device is
' initialised and opened with a VBScript equipment manager, a known Host is saved, ShowSettingsDlg
' runs until the robot closes the dialog, and the Host setting is read back.
' Arguments: mode (ok or cancel, the button the robot presses), the host saved before the dialog,
' the host the robot types, the devices folder. Exit code 0 when every step passed.
' Runs behind host_common.vbs: Check, CheckNoError, EquipmentManager, OpenDriver, ChangeSettings.

' The value of one setting in the table GetSettings answers; Null when the setting is missing.
Function SettingValue(driver, name)
  Dim outData, table, column
  SettingValue = Null
  If Not driver.GetSettings(Empty, outData, 0) Then Exit Function
  table = outData(0)
  For column = 0 To UBound(table, 2)
    If table(0, column) = name Then SettingValue = table(1, column)
  Next
End Function

Dim mode, savedHost, typedHost, devicesFolder
mode = WScript.Arguments(0)
savedHost = WScript.Arguments(1)
typedHost = WScript.Arguments(2)
devicesFolder = WScript.Arguments(3)

Dim driver, description, ok, inData, outData
Set driver = OpenDriver(devicesFolder)

ok = driver.GetDeviceInfo(Empty, outData, 0)
CheckNoError "GetDeviceInfo"
Check ok And outData(8) = True, "the device information says the settings dialog exists"
CheckNoError "reading the device information"

' A known Host before the dialog, so that Cancel can be told from OK.
ok = ChangeSettings(driver, Array("Host", "Token"), Array(savedHost, "ui-test-token"))
Check ok And SettingValue(driver, "Host") = savedHost, "SetSettings saves the Host " & savedHost
CheckNoError "reading the Host back"

outData = Empty
ok = driver.ShowSettingsDlg(Empty, outData, 0)
CheckNoError "ShowSettingsDlg"
Dim host
host = SettingValue(driver, "Host")
CheckNoError "GetSettings after the dialog"
If mode = "ok" Then
  Check ok, "ShowSettingsDlg answers True (code 0) after OK"
  Check host = typedHost, "after OK the Host is the one typed: " & host
Else
  Check Not ok And IsArray(outData), "ShowSettingsDlg answers False after Cancel"
  If IsArray(outData) Then Check outData(0) = 201, "the answer code after Cancel is 201 (" & outData(0) & ")"
  CheckNoError "reading the answer code"
  Check host = savedHost, "after Cancel the Host is the one saved before: " & host
End If
Check SettingValue(driver, "Token") = "ui-test-token", "the Token is left alone"
CheckNoError "reading the Token back"

ok = driver.Close()
CheckNoError "Close"
Set driver = Nothing

WScript.Echo failures & " failures"
WScript.Quit failures
