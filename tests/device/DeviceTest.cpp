#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "common/Exceptions.h"
#include "common/uEquipmentErrors.h"
#include "tests/device/DeviceFixture.h"

namespace tallowmer {
namespace {

using testing::DeviceFixture;
using testing::HostCall;
using testing::Outcome;
using testing::PublicCall;
using testing::TestDevice;

// The reference count of an object, read without changing it.
uint32_t References(IDispatch& object) {
  object.AddRef();
  return object.Release();
}

class DeviceTest : public DeviceFixture {};

TEST_F(DeviceTest, NewObjectStartsCreatedWithTheStandardSettings) {
  EXPECT_EQ(device->DeviceState(), dsCreated);
  EXPECT_EQ(device->SettingsCount(), 3);
  EXPECT_EQ(device->AddActionsCount(), 0);
  EXPECT_EQ(device->GetAddAction(0), nullptr);
  EXPECT_EQ(device->GetSettingValueInt("DefaultTimeOut"), 120);
  EXPECT_FALSE(device->GetSettingValueBool("EventLogEnabled"));
  EXPECT_FALSE(device->GetSettingValueBool("DebugLogEnabled"));
  EXPECT_EQ(device->GetSetting(3), nullptr);
  EXPECT_EQ(device->GetSetting(-1), nullptr);
  EXPECT_EQ(device->GetSetting(2)->ID, "DebugLogEnabled");
}

TEST_F(DeviceTest, InitTakesOnlyAnAutomationObject) {
  // An object reference without the dispatch promise is no manager either, even when the object
  // behind it has a dispatch face.
  const OleVariant notAManager[] = {OleVariant::Int32(5),
                                    OleVariant::Unknown(device.ManagerVariant().DispatchValue())};
  OleVariant description;
  Outcome outcome;
  for (const OleVariant& candidate : notAManager) {
    SCOPED_TRACE(VarTypeName(candidate.Type()));
    OleVariant notAnObject = candidate;
    description = OleVariant();
    outcome = HostCall(*device, "Init", {&notAnObject, &description});
    EXPECT_EQ(outcome.hr, hrOk);
    EXPECT_FALSE(VarToBool(outcome.result));
    EXPECT_EQ(VarToStr(description), "Ошибка входных параметров команды");
    EXPECT_TRUE(device->EqManager().IsEmpty());
    EXPECT_TRUE(device->journal->empty()) << "DoInit ran without a manager";
  }

  OleVariant id = OleVariant::Text("1");
  outcome = HostCall(*device, "Open", {&id, &description});
  EXPECT_EQ(outcome.hr, hrDispException);
  EXPECT_EQ(outcome.exception.scode, kResultUnknownError);
  EXPECT_EQ(Utf16ToUtf8(outcome.exception.description), "Менеджер оборудования недоступен");
  EXPECT_EQ(device->DeviceID(), "1");

  outcome = HostCall(*device, "Init", {});
  EXPECT_EQ(outcome.hr, hrOk);
  EXPECT_FALSE(VarToBool(outcome.result));

  OleVariant manager = device.ManagerVariant();
  outcome = HostCall(*device, "Init", {&manager});
  EXPECT_EQ(outcome.hr, hrOk);
  EXPECT_TRUE(VarToBool(outcome.result));
  EXPECT_EQ(device->DeviceState(), dsInited);
}

TEST_F(DeviceTest, AFailedDoInitKeepsTheManagerButNotTheState) {
  device->initCode = kResultBadSettings;
  OleVariant manager = device.ManagerVariant();
  OleVariant description;
  Outcome outcome = HostCall(*device, "Init", {&manager, &description});
  EXPECT_FALSE(VarToBool(outcome.result));
  EXPECT_EQ(VarToStr(description), "Неверные параметры устройства");
  EXPECT_EQ(device->DeviceState(), dsCreated);
  EXPECT_FALSE(device->EqManager().IsEmpty());
  EXPECT_TRUE(device.Manager().CallsOf("GetAppProperty").empty()) << "host properties asked after a failure";

  device->initDescription = "порт занят";
  outcome = HostCall(*device, "Init", {&manager, &description});
  EXPECT_EQ(VarToStr(description), "порт занят");

  // The manager is held, so Open can ask it for the devices folder.
  device.Manager().properties["DevicesFolder"] = "/dev";
  OleVariant id = OleVariant::Text("4");
  outcome = HostCall(*device, "Open", {&id, &description});
  EXPECT_TRUE(VarToBool(outcome.result));
  EXPECT_EQ(device->DeviceFolder, "/dev/4/");
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
  // An empty identifier names no folder of its own.
  device.Manager().properties["DevicesFolder"] = "/dev";
  device.InitAndOpen("");
  EXPECT_EQ(device->DeviceFolder, "");
}

TEST_F(DeviceTest, OpenTakesTheIdentifierOnlyAsText) {
  struct Case {
    const char* label;
    OleVariant identifier;
    bool succeeds;
    const char* deviceId;
  };
  const Case cases[] = {
      {"wide text", OleVariant::Text("7"), true, "7"},
      {"narrow text", OleVariant::Ansi("8"), true, "8"},
      {"integer", OleVariant::Int32(7), false, ""},
      {"empty", OleVariant(), false, ""},
  };
  device.InitAndOpen("old");
  for (const Case& c : cases) {
    OleVariant identifier = c.identifier;
    OleVariant description;
    const Outcome outcome = HostCall(*device, "Open", {&identifier, &description});
    EXPECT_EQ(VarToBool(outcome.result), c.succeeds) << c.label;
    EXPECT_EQ(VarToStr(description), c.succeeds ? "Нет ошибок" : "Ошибка входных параметров команды")
        << c.label;
    EXPECT_EQ(device->DeviceID(), c.deviceId) << c.label;
  }
  EXPECT_EQ(device->journal->back(), "DoOpen 8") << "DoOpen runs with the identifier already set";
  EXPECT_EQ(device->DeviceState(), dsInited);
}

TEST_F(DeviceTest, CheckHealthEnablesOnlyForTheCheck) {
  device.InitAndOpen();
  OleVariant outData;
  Outcome outcome = PublicCall(*device, "CheckHealth", OleVariant(), outData);
  EXPECT_TRUE(VarToBool(outcome.result));
  EXPECT_EQ(device->enables, 1);
  EXPECT_EQ(device->DeviceState(), dsInited);

  // The table text replaces whatever the enabling step said.
  device->enableCode = kResultBadSettings;
  device->enableDescription = "нет связи";
  outcome = PublicCall(*device, "CheckHealth", OleVariant(), outData);
  EXPECT_FALSE(VarToBool(outcome.result));
  EXPECT_EQ(VarToLogStr(outData), "[(1020; 'Неверные параметры устройства')]");
  EXPECT_EQ(device->journal->back(), "DoDisable") << "a failed check still disables";

  device->enableCode = kResultOk;
  PublicCall(*device, "Enable", OleVariant(), outData);
  ASSERT_EQ(device->DeviceState(), dsEnabled);
  outcome = PublicCall(*device, "CheckHealth", OleVariant(), outData);
  EXPECT_TRUE(VarToBool(outcome.result));
  EXPECT_EQ(device->DeviceState(), dsEnabled);
  EXPECT_EQ(device->enables, 3);
}

TEST_F(DeviceTest, FailingEnableReportsItsCodesText) {
  device->enableCode = kResultBadSettings;
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

TEST_F(DeviceTest, CloseForgetsTheManagerBetweenItsTwoSteps) {
  device.InitAndOpen("7");
  device->journal->clear();
  HostCall(*device, "Close", {});
  const std::vector<std::string> expected = {"DoClose '7' with manager", "DoAfterClose '' without manager"};
  EXPECT_EQ(*device->journal, expected);

  OleVariant id = OleVariant::Text("7");
  OleVariant description;
  const Outcome outcome = HostCall(*device, "Open", {&id, &description});
  EXPECT_EQ(outcome.hr, hrDispException);
  EXPECT_EQ(Utf16ToUtf8(outcome.exception.description), "Менеджер оборудования недоступен");
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
  EXPECT_EQ(device->SettingsCount(), 3);

  outcome = PublicCall(*device, "SetSettings", OleVariant::Text("not a table"), outData);
  EXPECT_FALSE(VarToBool(outcome.result));
  EXPECT_EQ(VarToLogStr(outData), "[(1004; 'Ошибка входных параметров команды')]");

  outcome = PublicCall(*device, "GetSettings", OleVariant(), outData);
  ASSERT_TRUE(outData.IsArray());
  EXPECT_EQ(outData.ArrayValue()->HighBound(1), 0);
  EXPECT_EQ(outData.ArrayValue()->At(0).ArrayValue()->HighBound(2), 2);
}

class TDialogDevice : public TestDevice {
 public:
  void FillDeviceInfo() override {
    TestDevice::FillDeviceInfo();
    FDeviceInfo.ModelID = "M1";
    FDeviceInfo.IsSettingsDlgExist = true;
  }
};

TEST_F(DeviceTest, ShowSettingsDlgAnswersByTheDialogItHasAndHowItClosed) {
  OleVariant outData;
  PublicCall(*device, "ShowSettingsDlg", OleVariant(), outData);
  EXPECT_EQ(VarToLogStr(outData), "[(1003; 'Команда не поддерживается устройством')]");

  testing::Held<TDialogDevice> withDialog;
  withDialog->dialogAccepted = false;
  PublicCall(*withDialog, "ShowSettingsDlg", OleVariant(), outData);
  EXPECT_EQ(VarToLogStr(outData), "[(201; 'Операция отменена пользователем')]");
  withDialog->dialogAccepted = true;
  const Outcome outcome = PublicCall(*withDialog, "ShowSettingsDlg", OleVariant(), outData);
  EXPECT_TRUE(VarToBool(outcome.result));
  EXPECT_TRUE(outData.IsEmpty());
}

TEST_F(DeviceTest, ModelFolderAppendsTheModelToTheHostsFolder) {
  testing::Held<TDialogDevice> model;
  model.Manager().properties["ModelsFolder"] = "/models";
  model.InitAndOpen();
  EXPECT_EQ(model->GetModelFolder(), "/models/M1/");
  EXPECT_EQ(model->ModelFolder(), "/models/M1/");
}

class DestructionTest : public DeviceFixture, public ::testing::WithParamInterface<bool> {};

TEST_P(DestructionTest, DisablesThenDestroysAndLetsTheManagerGo) {
  auto* object = new TestDevice;
  object->Initialize();
  object->disableThrows = GetParam();
  const auto journal = object->journal;
  OleVariant manager = device.ManagerVariant();
  OleVariant description;
  HostCall(*object, "Init", {&manager, &description});
  IDispatch& managerObject = device.Manager();
  const uint32_t heldByDevice = References(managerObject);

  journal->clear();
  object->Release();
  const std::vector<std::string> expected = {"DoDisable", "DoDestroy"};
  EXPECT_EQ(*journal, expected);
  EXPECT_EQ(References(managerObject), heldByDevice - 1);
}

INSTANTIATE_TEST_SUITE_P(DeviceTest, DestructionTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "WhenDisablingThrows" : "WhenDisablingSucceeds";
                         });

TEST_F(DeviceTest, EnablingWithTheDebugLogWritesTheHeader) {
  device->SetSettingValue("DebugLogEnabled", OleVariant::Boolean(true));
  device->AddSecretSetting("Token", "abc1234");
  device->AddSecretSetting("Password", "");
  device.InitAndOpen("12");
  device->DeviceFolder = env.Root() + "missing/";  // falls back to the default folder
  OleVariant outData;
  PublicCall(*device, "Enable", OleVariant(), outData);
  const std::string log = Log();
  const std::vector<std::string> expected = {
      "\t" + std::string(40, ' ') + "\r\n",
      "\t============Begin debug log=============\r\n",
      "\tdriver ver.: \t2.0.17\r\n",
      "\tdevice ID: \t12\r\n",
      "\t----------------Settings----------------\r\n",
      "\tDefaultTimeOut: \t120\r\n",
      "\tEventLogEnabled: \tFalse\r\n",
      "\tDebugLogEnabled: \tTrue\r\n",
      "\tToken: \t'***'\r\n",
      "\tPassword: \t''\r\n",
      "\t" + std::string(40, '-') + "\r\n",
  };
  size_t position = 0;
  for (const std::string& line : expected) {
    const size_t found = log.find(line, position);
    ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line << "\n" << log;
    position = found + line.size();
  }
}

TEST_F(DeviceTest, EnablingCreatesTheDeviceFolderBeforeTheDebugLogsFirstLine) {
  device->SetSettingValue("DebugLogEnabled", OleVariant::Boolean(true));
  device.InitAndOpen("12");
  const std::string folder = env.Root() + "devices/12/";
  device->DeviceFolder = folder;
  OleVariant outData;
  PublicCall(*device, "Enable", OleVariant(), outData);
  struct stat status {};
  ASSERT_EQ(::stat(folder.c_str(), &status), 0) << "the device folder was not created";
  EXPECT_EQ(status.st_mode & 07777, 03770u) << "the device folder is not shared with its group";
  // The whole log, header first, is in the device folder and nowhere else.
  std::string inDeviceFolder;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    inDeviceFolder += testing::TestEnv::ReadFile(entry.path());
  EXPECT_NE(inDeviceFolder.find("============Begin debug log============="), std::string::npos);
  EXPECT_EQ(inDeviceFolder, Log());
}

TEST_F(DeviceTest, EnablingWithoutTheDebugLogWritesNothing) {
  device.InitAndOpen("12");
  device->DeviceFolder = env.Root();
  OleVariant outData;
  PublicCall(*device, "Enable", OleVariant(), outData);
  EXPECT_FALSE(device->DebugLogEnabled());
  EXPECT_EQ(Log(), "");
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
  // The buffer is spent: a second restore changes nothing.
  device->SetSettingValue("EventLogEnabled", OleVariant::Boolean(true));
  device->RestoreSettings();
  EXPECT_TRUE(device->GetSettingValueBool("EventLogEnabled"));
}

}  // namespace
}  // namespace tallowmer
