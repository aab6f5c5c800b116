' What every host script of these tests starts with: trapped errors, the checks, a VBScript class
' as the host's equipment manager, OpenDriver and ChangeSettings. host_script (in
' tests/support/prefixes.sh) puts it in front of each script.
Option Explicit
On Error Resume Next

Dim failures
failures = 0

Sub Check(condition, what)
  If condition Then
    WScript.Echo "ok: " & what
  Else
    WScript.Echo "FAILED: " & what
    failures = failures + 1
  End If
End Sub

Sub CheckNoError(what)
  If Err.Number <> 0 Then
    WScript.Echo "FAILED: " & what & " raised " & Err.Number & " " & Err.Description
    failures = failures + 1
    Err.Clear
  End If
End Sub

Class EquipmentManager
  Public DevicesFolder
  Public LogEntries

  Public Function GetAppProperty(DeviceID, PropName, Value)
    GetAppProperty = True
    Select Case PropName
      Case "DevicesFolder" : Value = DevicesFolder
      Case "ModelsFolder" : Value = DevicesFolder & "\models"
      Case "Language" : Value = "ru"
      Case Else : GetAppProperty = False
    End Select
  End Function

  Public Function WriteLog(DeviceID, Name, Text, EventType)
    LogEntries = LogEntries + 1
    WriteLog = True
  End Function

  Public Function DataEvent(DeviceID, EventName, Data, ExtData)
    DataEvent = True
  End Function

  Public Function ErrorEvent(DeviceID, ErrorName, Description, ExtData)
    ErrorEvent = True
  End Function

  Public Function TaskState(DeviceID, Percent, Description)
    TaskState = True
  End Function

  Public Function MessageDlg(DeviceID, MsgText, MsgType, MsgButtons, MsgTimeout)
    MessageDlg = 2
  End Function

  Public Function InputDataDlg(DeviceID, Caption, DefaultData, Description, Mask, Password, TimeOut)
    InputDataDlg = ""
  End Function
End Class

' The driver created by its ProgID, initialised with a VBScript manager over devicesFolder and
' opened as device "1", each step checked.
Function OpenDriver(devicesFolder)
  Dim driver, manager, description, ok
  Set driver = CreateObject("hwEq.tallowmer")
  CheckNoError "CreateObject"
  Set manager = New EquipmentManager
  manager.DevicesFolder = devicesFolder
  manager.LogEntries = 0
  ok = driver.Init(manager, description)
  CheckNoError "Init"
  Check ok And description = "Нет ошибок", "Init with a VBScript manager"
  ok = driver.Open("1", description)
  CheckNoError "Open"
  Check ok, "Open"
  Set OpenDriver = driver
End Function

' Reads the settings table, puts values(i) under the setting names(i), and hands the table back;
' answers what SetSettings answered.
Function ChangeSettings(driver, names, values)
  Dim outData, inData, table, column, i, ok
  ChangeSettings = False
  ok = driver.GetSettings(Empty, outData, 0)
  CheckNoError "GetSettings"
  If ok <> True Then Exit Function
  table = outData(0)
  For column = 0 To UBound(table, 2)
    For i = 0 To UBound(names)
      If table(0, column) = names(i) Then table(1, column) = values(i)
    Next
  Next
  inData = Array(table)
  ChangeSettings = driver.SetSettings(inData, outData, 0)
  CheckNoError "SetSettings"
End Function
