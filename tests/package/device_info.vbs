' A host on a till where the package was installed: creates the driver by its ProgID, reads the
' device information and checks the version the module reports. Then, with the debug log switched
' on and no equipment manager, "Enable" fails as it must but has written its log into the default
' folder, which uninstalling has to leave alone.
' Argument: the version the module must report, major.minor.build. Exit code: the failures.
' Runs behind host_common.vbs: Check, CheckNoError, ChangeSettings.

Dim expectedVersion
expectedVersion = WScript.Arguments(0)

Dim driver, ok, outData
Set driver = CreateObject("hwEq.tallowmer")
CheckNoError "CreateObject(""hwEq.tallowmer"")"
If Not IsObject(driver) Then WScript.Quit 1

ok = driver.GetDeviceInfo(Empty, outData, 0)
CheckNoError "GetDeviceInfo"
Check ok, "GetDeviceInfo answers True"
If ok Then
  Check outData(0) = "LoyaltySystem", "the device is a loyalty system (" & outData(0) & ")"
  Check outData(6) = "hwEq.tallowmer", "the processor is hwEq.tallowmer (" & outData(6) & ")"
  Dim version
  version = outData(3) & "." & outData(4) & "." & outData(5)
  Check version = expectedVersion, "the module reports version " & version & ", the package's " & expectedVersion
  CheckNoError "reading the device information"
End If

ok = ChangeSettings(driver, Array("DebugLogEnabled"), Array(True))
Check ok, "SetSettings switches the debug log on"
outData = Empty
ok = driver.Enable(Empty, outData, 0)
CheckNoError "Enable"
Check Not ok, "Enable without an equipment manager answers False"

Set driver = Nothing
WScript.Quit failures
