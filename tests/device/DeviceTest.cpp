#include <gtest/gtest.h>

#include <filesystem>

#include "common/Exceptions.h"
#include "common/uEquipmentErrors.h"
#include "tests/device/DeviceTestSupport.h"
#include "tests/support/TestEnv.h"

namespace tallowmer {
namespace {

using testing::HostCall;
using testing::Outcome;
using testing::PublicCall;

class TestDevice : public TBaseDevice {
 public:
  int32_t DoEnable(std::string& description) override {
    ++enables;
    description = enableDescription;
    return enableCode;
  }
  size_t FocusDepth() const { return FWindows.size(); }
  const std::string& ModelsFolder() const { return FModelsFolder; }
  void SetLogDir(const std::string& folder) { FDebugLogDir = folder; }

  int32_t enableCode = 0;
  std::string enableDescription;
  int enables = 0;
};

class DeviceTest : public ::testing::Test {
 protected:
  std::string Log() {
    std::string content;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(env.Root())) {
      if (entry.path().filename().string().rfind("Debug_", 0) == 0)
        content += testing::TestEnv::ReadFile(entry.path());
    }
    return content;
  }

  testing::TestEnv env;
  testing::Held<TestDevice> device;
};

TEST_F(DeviceTest, NewObjectStartsCreatedWithTheStandardSettings) {
  EXPECT_EQ(device->DeviceState(), dsCreated);
  EXPECT_EQ(device->SettingsCount(), 3);
  EXPECT_EQ(device->AddActionsCount(), 0);
  EXPECT_EQ(device->GetSettingValueInt("DefaultTimeOut"), 120);
  EXPECT_FALSE(device->GetSettingValueBool("EventLogEnabled"));
  EXPECT_FALSE(device->GetSettingValueBool("DebugLogEnabled"));
  EXPECT_EQ(device->GetSetting(3), nullptr);
  EXPECT_EQ(device->GetSetting(-1), nullptr);
  EXPECT_EQ(device->GetSetting(2)->ID, "DebugLogEnabled");
}

TEST_F(DeviceTest, InitTakesOnlyAnAutomationObject) {
  OleVariant notAnObject = OleVariant::Int32(5);
  OleVariant description;
  Outcome outcome = HostCall(*device, "Init", {&notAnObject, &description});
  EXPECT_EQ(outcome.hr, hrOk);
  EXPECT_FALSE(VarToBool(outcome.result));
  EXPECT_EQ(VarToStr(description), "Ошибка входных параметров команды");
  EXPECT_TRUE(device->EqManager().IsEmpty());

  OleVariant id = OleVariant::Text("1");
  outcome = HostCall(*device, "Open", {&id, &description});
  EXPECT_EQ(outcome.hr, hrDispException);
  EXPECT_EQ(outcome.exception.scode, 1001);
  EXPECT_EQ(Utf16ToUtf8(outcome.exception.description), "Менеджер оборудования недоступен");
  EXPECT_EQ(device->DeviceID(), "1");

  outcome = HostCall(*device, "Init", {});
  EXPECT_EQ(outcome.hr, hrOk);
  EXPECT_FALSE(VarToBool(outcome.result));

  OleVariant manager = device.ManagerVariant();
  outcome = HostCall(*device, "Init", {&manager});
  EXPECT_TRUE(VarToBool(outcome.result));
  EXPECT_EQ(device->DeviceState(), dsInited);
}

TEST_F(DeviceTest, InitReadsTheModelsFolderAndLanguage) {
  struct Case {
    const char* reported;
    const char* expected;
  };
  for (const Case c : {Case{"/models", "/models/"}, Case{"/models/", "/models/"}, Case{nullptr, "/"}}) {
    testing::Held<TestDevice> fresh;
    if (c.reported != nullptr) fresh.Manager().properties["ModelsFolder"] = c.reported;
    OleVariant manager = fresh.ManagerVariant();
    OleVariant description;
    const Outcome outcome = HostCall(*fresh, "Init", {&manager, &description});
    EXPECT_TRUE(VarToBool(outcome.result));
    EXPECT_EQ(VarToStr(description), "Нет ошибок");
    EXPECT_EQ(fresh->ModelsFolder(), c.expected);
    EXPECT_EQ(fresh->GetModelFolder(), c.expected);
    EXPECT_EQ(fresh->Language, "ru");
  }
}

TEST_F(DeviceTest, OpenComputesTheDeviceFolder) {
  struct Case {
    const char* devicesFolder;
    const char* expected;
  };
  for (const Case c : {Case{"/dev", "/dev/7/"}, Case{"/dev/", "/dev/7/"}, Case{nullptr, ""}}) {
    testing::Held<TestDevice> fresh;
    if (c.devicesFolder != nullptr) fresh.Manager().properties["DevicesFolder"] = c.devicesFolder;
    fresh.InitAndOpen("7");
    EXPECT_EQ(fresh->DeviceFolder, c.expected) << (c.devicesFolder ? c.devicesFolder : "none");
  }
  OleVariant notText = OleVariant::Int32(7);
  OleVariant description;
  device.InitAndOpen();
  const Outcome outcome = HostCall(*device, "Open", {&notText, &description});
  EXPECT_FALSE(VarToBool(outcome.result));
  EXPECT_EQ(VarToStr(description), "Ошибка входных параметров команды");
}

TEST_F(DeviceTest, CheckHealthEnablesOnlyForTheCheck) {
  device.InitAndOpen();
  OleVariant outData;
  Outcome outcome = PublicCall(*device, "CheckHealth", OleVariant(), outData);
  EXPECT_TRUE(VarToBool(outcome.result));
  EXPECT_EQ(device->enables, 1);
  EXPECT_EQ(device->DeviceState(), dsInited);

  device->enableCode = 1020;
  outcome = PublicCall(*device, "CheckHealth", OleVariant(), outData);
  EXPECT_FALSE(VarToBool(outcome.result));
  EXPECT_EQ(VarToLogStr(outData), "[(1020; 'Неверные параметры устройства')]");

  device->enableCode = 0;
  PublicCall(*device, "Enable", OleVariant(), outData);
  ASSERT_EQ(device->DeviceState(), dsEnabled);
  outcome = PublicCall(*device, "CheckHealth", OleVariant(), outData);
  EXPECT_TRUE(VarToBool(outcome.result));
  EXPECT_EQ(device->DeviceState(), dsEnabled);
  EXPECT_EQ(device->enables, 3);
}

TEST_F(DeviceTest, FailingEnableReportsItsCodesText) {
  device->enableCode = 1020;
  OleVariant outData;
  PublicCall(*device, "Enable", OleVariant(), outData);
  EXPECT_EQ(VarToLogStr(outData), "[(1020; 'Неверные параметры устройства')]");
  device->enableDescription = "нет связи";
  PublicCall(*device, "Enable", OleVariant(), outData);
  EXPECT_EQ(VarToLogStr(outData), "[(1020; 'нет связи')]");
  EXPECT_EQ(device->DeviceState(), dsCreated);
}

TEST_F(DeviceTest, DisableAndCloseFollowTheStateTable) {
  OleVariant outData;
  PublicCall(*device, "Disable", OleVariant(), outData);
  EXPECT_EQ(device->DeviceState(), dsInited);
  device.InitAndOpen();
  PublicCall(*device, "Enable", OleVariant(), outData);
  const Outcome outcome = HostCall(*device, "Close", {});
  EXPECT_TRUE(VarToBool(outcome.result));
  EXPECT_EQ(device->DeviceState(), dsEnabled);
  EXPECT_TRUE(device->EqManager().IsEmpty());
  EXPECT_EQ(device->DeviceID(), "");
}

TEST_F(DeviceTest, SetSettingsMatchesIdsIgnoringAsciiCaseAndSkipsUnknownOnes) {
  auto table = SafeArray::Create2D({0, 7}, {0, 2});
  table->At(0, 0) = OleVariant::Text("defaulttimeout");
  table->At(1, 0) = OleVariant::Int32(30);
  table->At(0, 1) = OleVariant::Text("NoSuchSetting");
  table->At(1, 1) = OleVariant::Int32(1);
  OleVariant outData;
  Outcome outcome =
      PublicCall(*device, "SetSettings", OleVariant::Vector({OleVariant::Array(std::move(table))}), outData);
  EXPECT_TRUE(VarToBool(outcome.result));
  EXPECT_EQ(device->GetSettingValueInt("DefaultTimeOut"), 30);

  outcome = PublicCall(*device, "SetSettings", OleVariant::Text("not a table"), outData);
  EXPECT_FALSE(VarToBool(outcome.result));
  EXPECT_EQ(VarToLogStr(outData), "[(1004; 'Ошибка входных параметров команды')]");

  outcome = PublicCall(*device, "GetSettings", OleVariant(), outData);
  ASSERT_TRUE(outData.IsArray());
  EXPECT_EQ(outData.ArrayValue()->HighBound(1), 0);
  EXPECT_EQ(outData.ArrayValue()->At(0).ArrayValue()->HighBound(2), 2);
}

TEST_F(DeviceTest, GetDeviceInfoSendsFifteenElements) {
  OleVariant outData;
  PublicCall(*device, "GetDeviceInfo", OleVariant(), outData);
  ASSERT_TRUE(outData.IsArray());
  const SafeArray& info = *outData.ArrayValue();
  EXPECT_EQ(info.LowBound(1), 0);
  EXPECT_EQ(info.HighBound(1), 14);
  EXPECT_EQ(info.At(8).Type(), varBoolean);
  EXPECT_EQ(info.At(3).Type(), varInteger);
  EXPECT_EQ(VarToStr(info.At(0)), "Unknown");
  EXPECT_EQ(VarToStr(info.At(10)), "ООО \"QUORVANE\"");
  PublicCall(*device, "ShowSettingsDlg", OleVariant(), outData);
  EXPECT_EQ(VarToLogStr(outData), "[(1003; 'Команда не поддерживается устройством')]");
}

TEST_F(DeviceTest, EnablingWithTheDebugLogWritesTheHeader) {
  device->SetSettingValue("DebugLogEnabled", OleVariant::Boolean(true));
  device.InitAndOpen("12");
  device->DeviceFolder = env.Root() + "missing/";  // falls back to the default folder
  OleVariant outData;
  PublicCall(*device, "Enable", OleVariant(), outData);
  const std::string log = Log();
  const std::vector<std::string> expected = {
      "\t" + std::string(40, ' ') + "\r\n",
      "\t============Begin debug log=============\r\n",
      "\tdriver ver.: \t1.0.1\r\n",
      "\tdevice ID: \t12\r\n",
      "\t----------------Settings----------------\r\n",
      "\tDefaultTimeOut: \t120\r\n",
      "\tEventLogEnabled: \tFalse\r\n",
      "\tDebugLogEnabled: \tTrue\r\n",
      "\t" + std::string(40, '-') + "\r\n",
  };
  size_t position = 0;
  for (const std::string& line : expected) {
    const size_t found = log.find(line, position);
    ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line << "\n" << log;
    position = found + line.size();
  }
}

TEST_F(DeviceTest, EventsReachTheManagerAndTheDebugLog) {
  device.InitAndOpen("3");
  device->SetLogDir(env.Root());
  device->SetDebugLogEnabled(true);
  EXPECT_TRUE(device->TaskState(50, "x"));
  EXPECT_TRUE(device->DataEvent("A", "B"));
  EXPECT_TRUE(device->DataEvent("A", "B", OleVariant::Vector({OleVariant::Int32(1), OleVariant::Int32(2)})));
  EXPECT_FALSE(device->WriteLog("Name", "Text", 2));
  const std::string log = Log();
  EXPECT_NE(log.find("\tTaskState: \tPercent=50; Description=x; Result=True\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("\t<-DataEvent: \tEvent=A; Data: B\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("\t<-DataEvent: \tEvent=A; Data: B; ExtData: [(1; 2)]\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("\tName: \tText\r\n"), std::string::npos);
  EXPECT_TRUE(device.Manager().CallsOf("WriteLog").empty());

  const auto taskState = device.Manager().CallsOf("TaskState");
  ASSERT_EQ(taskState.size(), 1u);
  EXPECT_EQ(VarToLogStr(OleVariant::Vector(taskState[0].arguments)), "[('3'; 50; 'x')]");

  device->SetEventLogEnabled(true);
  EXPECT_TRUE(device->WriteLog("Name", "Text", 2));
  const auto writeLog = device.Manager().CallsOf("WriteLog");
  ASSERT_EQ(writeLog.size(), 1u);
  EXPECT_EQ(VarToLogStr(OleVariant::Vector(writeLog[0].arguments)), "[('3'; 'Name'; 'Text'; 2)]");
  EXPECT_EQ(device->ShowMessageDlg("m", 1, 2, 3), 2);
  EXPECT_EQ(device->InputDataDlg("c", "d", "e", "f", true, 9), "введено");
  const auto input = device.Manager().CallsOf("InputDataDlg");
  ASSERT_EQ(input.size(), 1u);
  EXPECT_EQ(VarToLogStr(OleVariant::Vector(input[0].arguments)), "[('3'; 'c'; 'd'; 'e'; 'f'; True; 9)]");
}

TEST_F(DeviceTest, WrappersWithoutAManagerRaiseAndWriteLogAnswersFalse) {
  EXPECT_FALSE(device->WriteLog("Name", "Text", 1));
  try {
    device->DataEvent("A", "B");
    FAIL() << "DataEvent ran without a manager";
  } catch (const Exception& error) {
    EXPECT_EQ(error.Message(), "Менеджер оборудования недоступен");
    EXPECT_STREQ(error.ClassName(), "Exception");
  }
  EXPECT_THROW(device->TaskState(1, ""), Exception);
  EXPECT_THROW(device->ShowMessageDlg("", 0, 0, 0), Exception);
}

TEST_F(DeviceTest, AFailingManagerCallPropagatesAndLogsNothing) {
  device.InitAndOpen();
  device->SetLogDir(env.Root());
  device->SetDebugLogEnabled(true);
  device.Manager().failing = true;
  EXPECT_THROW(device->DataEvent("A", "B"), EOleException);
  EXPECT_EQ(Log().find("DataEvent"), std::string::npos);
}

TEST_F(DeviceTest, FocusStackKeepsNullEntriesWithoutADesktop) {
  device->StoreFocus();
  device->StoreFocus();
  EXPECT_EQ(device->FocusDepth(), 2u);
  device->RestoreFocus();
  device->RestoreFocus();
  device->RestoreFocus();
  EXPECT_EQ(device->FocusDepth(), 0u);
}

TEST_F(DeviceTest, StoredSettingsComeBack) {
  device->StoreSettings();
  device->SetSettingValue("DefaultTimeOut", OleVariant::Int32(1));
  device->RestoreSettings();
  EXPECT_EQ(device->GetSettingValueInt("DefaultTimeOut"), 120);
  device->StoreSettings({"EventLogEnabled", "NoSuch"});
  device->SetSettingValue("EventLogEnabled", OleVariant::Boolean(true));
  device->SetSettingValue("DefaultTimeOut", OleVariant::Int32(5));
  device->RestoreSettings();
  EXPECT_FALSE(device->GetSettingValueBool("EventLogEnabled"));
  EXPECT_EQ(device->GetSettingValueInt("DefaultTimeOut"), 5);
}

}  // namespace
}  // namespace tallowmer
