' A script's fixed-size arrays (Dim f1(1)) as the driver's arguments. As OutData a method would
' leave Empty or an array of another size there, which such an array cannot take: the call is
' refused before the method runs, with Err 1004 naming the argument, and both the array and the
' settings stay as they were. As InData the array is read and stays the script's own.
' Runs behind host_common.vbs: Check, CheckNoError. Exit code 0 when every check passed.

' The value of one setting as GetSettings reports it, or Null.
Function SettingValue(driver, id)
  On Error Resume Next
  Dim outData, table, column, ok
  SettingValue = Null
  ok = driver.GetSettings(Empty, outData, 0)
  CheckNoError "GetSettings"
  If ok <> True Then Exit Function
  table = outData(0)
  For column = 0 To UBound(table, 2)
    If table(0, column) = id Then SettingValue = table(1, column)
  Next
End Function

' The refusal of a fixed-size array as OutData: Err 1004 with the bad-input text naming the second
' argument. Takes the error, which the caller reads right after the call.
Function RefusedAsOutData(number, description)
  RefusedAsOutData = number = 1004 And _
    InStr(description, "Ошибка входных параметров команды: аргумент 2: массив постоянного размера") = 1
  If Not RefusedAsOutData Then WScript.Echo "    raised " & number & " " & description
End Function

Dim driver, ok, timeOutBefore, settingsTable(1, 0), inData
Set driver = CreateObject("hwEq.tallowmer")
CheckNoError "CreateObject"
timeOutBefore = SettingValue(driver, "DefaultTimeOut")
Check timeOutBefore <> 77, "DefaultTimeOut is not 77 before the calls"

settingsTable(0, 0) = "DefaultTimeOut"
settingsTable(1, 0) = 77
inData = Array(settingsTable)
Dim f1(1)
f1(0) = "первый"
f1(1) = 2
Dim number, description
ok = driver.SetSettings(inData, f1, 0)
number = Err.Number : description = Err.Description : Err.Clear
Check RefusedAsOutData(number, description), "Dim f1(1) as SetSettings' OutData: Err 1004, refused before the method"
Check f1(0) = "первый" And f1(1) = 2 And UBound(f1) = 1, "f1 keeps its size and its values"
Check SettingValue(driver, "DefaultTimeOut") = timeOutBefore, "DefaultTimeOut is still " & timeOutBefore

Dim e2(2)
e2(0) = "e"
ok = driver.Enable(Empty, e2, 0)
number = Err.Number : description = Err.Description : Err.Clear
Check RefusedAsOutData(number, description), "Dim e2(2) as Enable's OutData: Err 1004, refused before the method"
Check e2(0) = "e" And IsEmpty(e2(1)) And UBound(e2) = 2, "e2 keeps its size and its values"

Dim fixedIn(1), outData
fixedIn(0) = "прочитан"
fixedIn(1) = 1
ok = driver.GetDeviceInfo(fixedIn, outData, 0)
CheckNoError "GetDeviceInfo with a fixed-size array as InData"
Check ok And UBound(outData) = 14, "a fixed-size array as InData: the device information"
Check fixedIn(0) = "прочитан" And fixedIn(1) = 1 And UBound(fixedIn) = 1, "the InData array stays the script's own"

WScript.Quit failures
