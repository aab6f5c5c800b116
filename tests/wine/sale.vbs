' The road of one sale as a host's script engine drives it: late-bound calls on the driver, a
' VBScript class as the equipment manager, receipt tables built as VBScript 2-D arrays.
' Arguments: host URL of the service, token, devices folder. Exit code 0 when every step passed.
' Runs behind host_common.vbs: Check, CheckNoError, EquipmentManager, OpenDriver, ChangeSettings.

Dim hostUrl, token, devicesFolder
hostUrl = WScript.Arguments(0)
token = WScript.Arguments(1)
devicesFolder = WScript.Arguments(2)

Dim driver, description, ok, inData, outData
Set driver = OpenDriver(devicesFolder)

' Settings: Host, Token and the debug log.
ok = ChangeSettings(driver, Array("Host", "Token", "DebugLogEnabled"), Array(hostUrl, token, True))
Check ok, "SetSettings"
ok = driver.Enable(Empty, outData, 0)
CheckNoError "Enable"
Check ok, "Enable"

' The customer and the balance before the sale.
Const phone = "79001234567"
inData = Array(phone, 0, 0)
ok = driver.GetCustomerData(inData, outData, 0)
CheckNoError "GetCustomerData"
Check ok, "GetCustomerData by phone"
Dim balanceBefore
balanceBefore = outData(3)
Check VarType(balanceBefore) = vbCurrency, "the balance is a currency"

' A fixed-size array variable arrives wrapped twice: a reference to a reference to the array.
Dim fixedIn(2)
fixedIn(0) = phone : fixedIn(1) = 0 : fixedIn(2) = 0
ok = driver.GetCustomerData(fixedIn, outData, 0)
CheckNoError "GetCustomerData with a fixed-size array"
Check ok And fixedIn(0) = phone And UBound(fixedIn) = 2, "a fixed-size array variable as InData"
fixedIn(0) = "777" : fixedIn(1) = 1
ok = driver.GetCustomerData(fixedIn, outData, 0)
CheckNoError "GetCustomerData with the same array changed"
Check ok And outData(4) = "777", "the fixed-size array stays the script's own"

inData = Array(Empty, phone, 0)
ok = driver.CreateOrder(inData, outData, 0)
CheckNoError "CreateOrder"
Dim orderId
orderId = outData(0)
Check ok And Len(orderId) = 36, "CreateOrder answers an order identifier"

' Receipt table [column, line]: 2 product, 3 name, 4 discount, 5 quantity, 6 amount.
Dim receipt(6, 1)
receipt(2, 0) = "A-1" : receipt(3, 0) = "Хлеб" : receipt(4, 0) = CCur(10) : receipt(5, 0) = 3 : receipt(6, 0) = CCur(100)
receipt(2, 1) = "B-2" : receipt(3, 1) = "Молоко" : receipt(4, 1) = CCur(0) : receipt(5, 1) = 1 : receipt(6, 1) = CCur(50)
inData = Array(orderId, receipt, CCur(20), CCur(0), phone, 0, 0, "", Empty, "", "N-1")
ok = driver.CloseOrder(inData, outData, 0)
CheckNoError "CloseOrder"
Check ok, "CloseOrder of a sale"
Dim balanceAfter, transactionTime
balanceAfter = outData(0)
transactionTime = outData(2)
Check balanceAfter < balanceBefore, "the write-off lowers the balance"
Check InStr(outData(1), "Телефон: " & phone) = 1, "the receipt text names the customer"
Check VarType(transactionTime) = vbDate, "the transaction time is a date"

inData = Array(orderId, transactionTime, "", 0, "")
ok = driver.CancelOrder(inData, outData, 0)
CheckNoError "CancelOrder"
Check ok And InStr(outData(0), "Операция отменена") > 0, "CancelOrder"

inData = Array(phone, 0, 0)
ok = driver.GetCustomerData(inData, outData, 0)
Check ok And outData(3) = balanceBefore, "the cancellation gives the balance back"

' Two lines whose amounts add up past the largest Currency: refused as bad input before any
' request, and the host lives on.
Dim tooLarge(6, 1)
tooLarge(2, 0) = "A-1" : tooLarge(3, 0) = "Хлеб" : tooLarge(4, 0) = CCur(0) : tooLarge(5, 0) = 1 : tooLarge(6, 0) = CCur("600000000000000")
tooLarge(2, 1) = "B-2" : tooLarge(3, 1) = "Молоко" : tooLarge(4, 1) = CCur(0) : tooLarge(5, 1) = 1 : tooLarge(6, 1) = CCur("600000000000000")
inData = Array(orderId, tooLarge, CCur(0), CCur(0), phone, 0, 0, "", Empty, "", "N-2")
ok = driver.CloseOrder(inData, outData, 0)
CheckNoError "CloseOrder with sums past the Currency range"
Check Not ok And outData(0) = 1004, "a receipt whose sum leaves the Currency range fails with 1004"

inData = Array(phone, 4, 0)
ok = driver.GetCustomerData(inData, outData, 0)
Check Not ok And outData(0) = 1001, "an unknown identifier kind fails with 1001"

ok = driver.Disable(Empty, outData, 0)
ok = driver.Close()
CheckNoError "Close"
Set driver = Nothing

WScript.Echo failures & " failures"
WScript.Quit failures
