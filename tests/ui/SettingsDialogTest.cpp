#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "common/uCommon.h"
#include "service/HttpTransport.h"
#include "tests/device/DeviceTestSupport.h"
#include "tests/ui/UiTestSupport.h"

namespace tallowmer {
namespace {

using testing::Held;
using testing::MainPage;
using testing::MenuIndex;
using testing::SelectSetting;
using testing::TRecordingPage;
using testing::TScriptedView;
using testing::TUiTestDevice;

// The driver module lives in the test's private folder, so that a help file can be put beside it.
class DialogEnv : public testing::TestEnv {
 public:
  std::string ModuleFilePath() override { return Root() + "ls_tallowmer.dll"; }
};

class SettingsDialogTest : public ::testing::Test {
 protected:
  SettingsDialogTest() {
    device->SetSettingValue("Host", OleVariant::Text("https://saved.example"));
    device->view = &view;
  }

  std::unique_ptr<TfrmCommonSettings> Dialog() {
    return std::make_unique<TfrmCommonSettings>(*device, device->pageClasses, view);
  }

  bool Visible(const TfrmCommonSettings& dialog, const std::string& item) {
    const TMenuItem& entry = dialog.MenuItems()[MenuIndex(dialog, item)];
    EXPECT_EQ(entry.Visible, entry.Enabled) << item;
    return entry.Visible;
  }

  DialogEnv env;
  Held<TUiTestDevice> device;
  TScriptedView view;
};

TEST_F(SettingsDialogTest, DriverPageComesFirstAndSelectedThenInformation) {
  const auto dialog = Dialog();
  EXPECT_EQ(dialog->TabCaptions(), (std::vector<std::string>{"Параметры", "Информация"}));
  EXPECT_EQ(dialog->ActiveTab, 0);
  EXPECT_EQ(MainPage(*dialog).edHost, "https://saved.example");
  EXPECT_TRUE(Visible(*dialog, "miReset"));
  EXPECT_EQ(view.pagesRead, 1);
}

TEST_F(SettingsDialogTest, WithoutPagesOnlyInformationAndNoReset) {
  device->pageClasses.clear();
  const auto dialog = Dialog();
  EXPECT_EQ(dialog->TabCaptions(), std::vector<std::string>{"Информация"});
  EXPECT_FALSE(Visible(*dialog, "miReset"));
}

TEST_F(SettingsDialogTest, InformationComesFromTheDeviceInformation) {
  const auto dialog = Dialog();
  const std::vector<TInfoRow>& rows = dialog->InfoRows();
  ASSERT_EQ(rows.size(), 6u);
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"Тип:", GetEquipmentTypeName("LoyaltySystem")},
      {"Модель:", "Тестовая модель"},
      {"Версия:", "4.5.6"},
      {"Разработчик:", "Разработчик"},
      {"Описание:", "Описание модели"},
      {"Контактная информация:", FormatContactInfo(device->DeviceInfo())}};
  for (size_t index = 0; index < rows.size(); ++index) {
    EXPECT_EQ(rows[index].Caption, expected[index].first);
    EXPECT_EQ(rows[index].Value, expected[index].second);
  }
  EXPECT_NE(GetEquipmentTypeName("LoyaltySystem"), "LoyaltySystem");
  EXPECT_EQ(dialog->lbModelName(), "Тестовая модель");
  EXPECT_EQ(dialog->lbDiverVersion(), "4.5.6");
}

TEST_F(SettingsDialogTest, CancelAfterADeviceTestKeepsTheSavedHostWhileTheTestUsedTheEditedOne) {
  const auto dialog = Dialog();
  MainPage(*dialog).edHost = "https://edited.example";
  dialog->MenuItemClick(MenuIndex(*dialog, "miDeviceTest"));
  EXPECT_EQ(device->calls, (std::vector<std::string>{"enable Host=https://edited.example",
                                                     "test Host=https://edited.example"}));
  EXPECT_FALSE(device->Enabled());
  EXPECT_EQ(device->GetSettingValueStr("Host"), "https://saved.example");
  EXPECT_TRUE(view.errors.empty());
  EXPECT_EQ(view.testRunningChanges, (std::vector<bool>{true, false}));

  EXPECT_EQ(dialog->FormClose(mrCancel), mrCancel);
  EXPECT_EQ(device->GetSettingValueStr("Host"), "https://saved.example");
}

TEST_F(SettingsDialogTest, DeviceTestWaitsForItsRequestOnAnotherThreadWhileTheDialogWaits) {
  const auto dialog = Dialog();
  const std::thread::id dialogThread = std::this_thread::get_id();
  auto workThread = std::make_shared<std::thread::id>();
  device->testWork = [workThread] { *workThread = std::this_thread::get_id(); };
  dialog->MenuItemClick(MenuIndex(*dialog, "miDeviceTest"));
  EXPECT_EQ(view.waits, 1);
  EXPECT_NE(*workThread, std::thread::id());
  EXPECT_NE(*workThread, dialogThread);
  EXPECT_TRUE(view.errors.empty());
  EXPECT_EQ(device->ResponsiveWait(), nullptr);
}

TEST_F(SettingsDialogTest, GivingUpTheDeviceTestShowsNoErrorAndPutsEverythingBack) {
  const auto dialog = Dialog();
  MainPage(*dialog).edHost = "https://edited.example";
  view.giveUp = true;
  auto release = std::make_shared<std::atomic<bool>>(false);
  // The request would hang; the work outlives the wait and ends unseen once released.
  device->testWork = [release] {
    while (!release->load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  dialog->MenuItemClick(MenuIndex(*dialog, "miDeviceTest"));
  release->store(true);
  EXPECT_EQ(view.waits, 1);
  EXPECT_TRUE(view.errors.empty());
  EXPECT_FALSE(device->Enabled());
  EXPECT_EQ(device->GetSettingValueStr("Host"), "https://saved.example");
  EXPECT_EQ(view.testRunningChanges, (std::vector<bool>{true, false}));
  EXPECT_EQ(device->ResponsiveWait(), nullptr);
}

TEST_F(SettingsDialogTest, DeviceTestShowsItRunsWhileItWaits) {
  const auto dialog = Dialog();
  device->testWork = [] {};
  dialog->MenuItemClick(MenuIndex(*dialog, "miDeviceTest"));
  EXPECT_EQ(view.waitedWhileTestShown, std::vector<bool>{true});
  EXPECT_FALSE(view.testRunning);
}

TEST(DeviceTestWait, AllowsEachRequestWhatASaleAllowsIt) {
  EXPECT_EQ(kDeviceTestRequestLimit, kRequestTimeout);
}

// Every request of the test gets the whole limit from its own start: two slow answers in a row,
// each within the limit, pass, though together they take longer than it.
TEST(DeviceTestWait, EachRequestHasTheLimitFromItsOwnStart) {
  TScriptedView view;
  const std::chrono::milliseconds limit(150);
  TDeviceTestWait wait(view, limit);
  const auto started = std::chrono::steady_clock::now();
  for (int request = 0; request < 2; ++request) {
    SCOPED_TRACE(request);
    EXPECT_EQ(wait.Remaining(), limit);
    EXPECT_EQ(wait.Run([] { std::this_thread::sleep_for(std::chrono::milliseconds(100)); }),
              TWaitEnd::Finished);
  }
  EXPECT_GE(std::chrono::steady_clock::now() - started, limit);
  EXPECT_EQ(wait.End(), TWaitEnd::Finished);
  ASSERT_EQ(view.waitDeadlines.size(), 2u);
  EXPECT_GT(view.waitDeadlines[1], view.waitDeadlines[0] + std::chrono::milliseconds(90));
}

// A request that took its whole time, whether its own time-out or the dialog's wait ended it, ends
// the test: the next one is not started.
struct TimedOutRequest {
  const char* name;
  // The request's work: it returns at its limit, or hangs until released.
  bool hangs;
  TWaitEnd run;
};

void PrintTo(const TimedOutRequest& request, std::ostream* out) {
  *out << request.name;
}

class DeviceTestWaitTimeOut : public ::testing::TestWithParam<TimedOutRequest> {};

TEST_P(DeviceTestWaitTimeOut, StartsNoFurtherWork) {
  TScriptedView view;
  const std::chrono::milliseconds limit(100);
  TDeviceTestWait wait(view, limit);
  auto release = std::make_shared<std::atomic<bool>>(false);
  const bool hangs = GetParam().hangs;
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(wait.Run([release, hangs, limit] {
    if (!hangs) return std::this_thread::sleep_for(limit + std::chrono::milliseconds(5));
    while (!release->load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }),
            GetParam().run);
  const auto waited = std::chrono::steady_clock::now() - started;
  release->store(true);
  EXPECT_GE(waited, limit);
  EXPECT_LT(waited, std::chrono::seconds(5));
  EXPECT_EQ(wait.Remaining().count(), 0);
  bool ranAgain = false;
  EXPECT_EQ(wait.Run([&ranAgain] { ranAgain = true; }), TWaitEnd::TimedOut);
  EXPECT_FALSE(ranAgain);
  EXPECT_EQ(wait.End(), TWaitEnd::TimedOut);
  EXPECT_EQ(view.waits, 1);
}

INSTANTIATE_TEST_SUITE_P(Requests, DeviceTestWaitTimeOut,
                         ::testing::Values(TimedOutRequest{"EndedByItsOwnTimeOut", false, TWaitEnd::Finished},
                                           TimedOutRequest{"EndedByTheWait", true, TWaitEnd::TimedOut}),
                         [](const ::testing::TestParamInfo<TimedOutRequest>& info) {
                           return std::string(info.param.name);
                         });

struct FailedTestCase {
  const char* name;
  bool pageRefuses;
  int32_t enableCode;
  const char* enableDescription;
  bool testPasses;
  const char* expectedError;
  std::vector<std::string> expectedCalls;
};

void PrintTo(const FailedTestCase& failure, std::ostream* out) {
  *out << failure.name;
}

class DeviceTestFailureTest : public SettingsDialogTest,
                              public ::testing::WithParamInterface<FailedTestCase> {};

TEST_P(DeviceTestFailureTest, ShowsTheReasonAndLeavesTheDeviceDisabledWithItsSettings) {
  const FailedTestCase& failure = GetParam();
  if (failure.pageRefuses) {
    device->pageClasses.push_back(&TfrmBaseSettings::Create<TRecordingPage<testing::kRefusing, true>>);
  }
  device->enableCode = failure.enableCode;
  device->enableDescription = failure.enableDescription;
  device->testPasses = failure.testPasses;
  device->testDescription = "сервис не ответил";
  const auto dialog = Dialog();
  MainPage(*dialog).edHost = "https://edited.example";
  device->calls.clear();

  dialog->MenuItemClick(MenuIndex(*dialog, "miDeviceTest"));
  EXPECT_EQ(view.errors, std::vector<std::string>{std::string("Ошибка: ") + failure.expectedError});
  EXPECT_EQ(device->calls, failure.expectedCalls);
  EXPECT_FALSE(device->Enabled());
  EXPECT_EQ(device->GetSettingValueStr("Host"), "https://saved.example");
  EXPECT_EQ(view.testRunningChanges, (std::vector<bool>{true, false}));
}

INSTANTIATE_TEST_SUITE_P(Failures, DeviceTestFailureTest,
                         ::testing::Values(FailedTestCase{"RefusingPage",
                                                          true,
                                                          kResultOk,
                                                          "",
                                                          true,
                                                          "Не удалось записать текущие настройки",
                                                          {"refusing check"}},
                                           FailedTestCase{"EnableFailsWithADescription",
                                                          false,
                                                          kResultUnknownError,
                                                          "нет связи",
                                                          true,
                                                          "нет связи",
                                                          {"enable Host=https://edited.example"}},
                                           FailedTestCase{"EnableFailsWithoutADescription",
                                                          false,
                                                          kResultBadSettings,
                                                          "",
                                                          true,
                                                          "Неверные параметры устройства",
                                                          {"enable Host=https://edited.example"}},
                                           FailedTestCase{"TestFails",
                                                          false,
                                                          kResultOk,
                                                          "",
                                                          false,
                                                          "сервис не ответил",
                                                          {"enable Host=https://edited.example",
                                                           "test Host=https://edited.example"}}),
                         [](const ::testing::TestParamInfo<FailedTestCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(SettingsDialogTest, DeviceTestThatRaisesStillDisablesAndRestores) {
  device->testThrows = true;
  const auto dialog = Dialog();
  MainPage(*dialog).edHost = "https://edited.example";
  dialog->MenuItemClick(MenuIndex(*dialog, "miDeviceTest"));
  EXPECT_FALSE(device->Enabled());
  EXPECT_EQ(device->GetSettingValueStr("Host"), "https://saved.example");
  EXPECT_EQ(view.errors, std::vector<std::string>{"Ошибка: сбой теста"});
  EXPECT_EQ(view.testRunningChanges, (std::vector<bool>{true, false}));
}

TEST_F(SettingsDialogTest, DeviceTestIsOfferedUnlessTheCallerForbidsIt) {
  bool offered = false;
  view.dialogScript = [&](TfrmCommonSettings& dialog) {
    offered = Visible(dialog, "miDeviceTest");
    return dialog.FormClose(mrCancel);
  };
  ShowSettingsForm(*device, device->pageClasses, true, view);
  EXPECT_FALSE(offered);
  ShowSettingsForm(*device, device->pageClasses, false, view);
  EXPECT_TRUE(offered);
}

TEST_F(SettingsDialogTest, ListEditConfirmedThenDialogCancelledPutsBackTheValuesOfBeforeTheList) {
  view.listScript = [](TfrmSettingsList& list) {
    SelectSetting(list, "Host");
    list.lvSettingsKeyDown(TKey::Enter);
    list.edEditText = "https://listed.example";
    list.edEditKeyDown(TKey::Enter);
    return mrOk;
  };
  const auto dialog = Dialog();
  dialog->MenuItemClick(MenuIndex(*dialog, "miSettingsList"));
  EXPECT_EQ(device->GetSettingValueStr("Host"), "https://listed.example");
  EXPECT_EQ(MainPage(*dialog).edHost, "https://listed.example");
  EXPECT_EQ(view.pagesRead, 2);

  EXPECT_EQ(dialog->FormClose(mrCancel), mrCancel);
  EXPECT_EQ(device->GetSettingValueStr("Host"), "https://saved.example");
}

TEST_F(SettingsDialogTest, ListCancelledPutsItsChangesBackAtOnce) {
  view.listScript = [](TfrmSettingsList& list) {
    list.btnDefaultClick();
    return mrCancel;
  };
  const auto dialog = Dialog();
  dialog->MenuItemClick(MenuIndex(*dialog, "miSettingsList"));
  EXPECT_EQ(device->GetSettingValueStr("Host"), "https://saved.example");
  EXPECT_EQ(view.pagesRead, 1);
}

TEST_F(SettingsDialogTest, ResetThenCancelKeepsTheDefaults) {
  device->SetSettingValue("Retries", OleVariant::Int32(9));
  const auto dialog = Dialog();
  dialog->MenuItemClick(MenuIndex(*dialog, "miReset"));
  EXPECT_EQ(MainPage(*dialog).edHost, testing::kDefaultHost);
  EXPECT_EQ(dialog->FormClose(mrCancel), mrCancel);
  EXPECT_EQ(device->GetSettingValueStr("Host"), testing::kDefaultHost);
  EXPECT_EQ(device->GetSettingValueInt("Retries"), 3);
}

TEST_F(SettingsDialogTest, DebugLogSubmenuFollowsTheSettingEachTimeTheMenuOpens) {
  const auto dialog = Dialog();
  EXPECT_FALSE(Visible(*dialog, "miOpenDebugLog"));
  dialog->mAdditionalyPopup();
  EXPECT_FALSE(Visible(*dialog, "miOpenDebugLog"));

  view.listScript = [](TfrmSettingsList& list) {
    SelectSetting(list, "DebugLogEnabled");
    list.lvSettingsKeyDown(TKey::Enter);
    list.cbEditItemIndex = 1;
    list.edEditKeyDown(TKey::Enter);
    return mrOk;
  };
  dialog->MenuItemClick(MenuIndex(*dialog, "miSettingsList"));
  EXPECT_FALSE(Visible(*dialog, "miOpenDebugLog"));
  dialog->mAdditionalyPopup();
  EXPECT_TRUE(Visible(*dialog, "miOpenDebugLog"));

  device->SetSettingValue("DebugLogEnabled", OleVariant::Boolean(false));
  dialog->mAdditionalyPopup();
  EXPECT_FALSE(Visible(*dialog, "miOpenDebugLog"));
}

TEST_F(SettingsDialogTest, RefusingPageKeepsTheDialogOpenAfterThePagesBeforeItSaved) {
  device->pageClasses = {&TfrmBaseSettings::Create<TRecordingPage<testing::kFirst>>,
                         &TfrmBaseSettings::Create<TRecordingPage<testing::kRefusing, true>>,
                         &TfrmBaseSettings::Create<TRecordingPage<testing::kThird>>};
  const auto dialog = Dialog();
  device->calls.clear();
  EXPECT_EQ(dialog->FormClose(mrOk), mrNone);
  EXPECT_EQ(device->calls, (std::vector<std::string>{"first check", "first save", "refusing check"}));
}

TEST_F(SettingsDialogTest, OkSavesEveryPageInOrderAndKeepsTheValues) {
  device->pageClasses = {&TfrmBaseSettings::Create<TfrmMainSettings>,
                         &TfrmBaseSettings::Create<TRecordingPage<testing::kSecond>>};
  const auto dialog = Dialog();
  MainPage(*dialog).edHost = "https://edited.example";
  device->calls.clear();
  EXPECT_EQ(dialog->FormClose(mrOk), mrOk);
  EXPECT_EQ(device->calls, (std::vector<std::string>{"second check", "second save"}));
  EXPECT_EQ(device->GetSettingValueStr("Host"), "https://edited.example");
}

struct ShowCase {
  const char* name;
  TModalResult closeWith;
  int32_t expectedCode;
  const char* expectedHost;
};

void PrintTo(const ShowCase& show, std::ostream* out) {
  *out << show.name;
}

class ShowSettingsDlgTest : public SettingsDialogTest, public ::testing::WithParamInterface<ShowCase> {};

TEST_P(ShowSettingsDlgTest, AnswersHowTheDialogWasClosed) {
  const ShowCase& show = GetParam();
  view.dialogScript = [&](TfrmCommonSettings& dialog) {
    EXPECT_EQ(device->FocusDepth(), 1u);
    MainPage(dialog).edHost = "https://edited.example";
    return dialog.FormClose(show.closeWith);
  };
  OleVariant outData;
  const testing::Outcome outcome = testing::PublicCall(*device, "ShowSettingsDlg", OleVariant(), outData);
  EXPECT_EQ(view.modalCount, 1);
  EXPECT_EQ(outcome.result.BooleanValue(), show.expectedCode == kResultOk);
  if (show.expectedCode != kResultOk) {
    EXPECT_EQ(VarToInt32(GetArrayItem(outData, 0)), show.expectedCode);
  }
  EXPECT_EQ(device->GetSettingValueStr("Host"), show.expectedHost);
  EXPECT_EQ(device->calls, std::vector<std::string>{"settings changed"});
  EXPECT_EQ(device->FocusDepth(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ShowSettingsDlgTest,
    ::testing::Values(ShowCase{"Ok", mrOk, kResultOk, "https://edited.example"},
                      ShowCase{"Cancel", mrCancel, kResultCancelled, "https://saved.example"}),
    [](const ::testing::TestParamInfo<ShowCase>& info) { return std::string(info.param.name); });

TEST_F(SettingsDialogTest, ShowSettingsFormGivesTheHostWindowBackWhenTheDialogRaises) {
  view.dialogScript = [](TfrmCommonSettings&) -> TModalResult { throw std::runtime_error("окно упало"); };
  EXPECT_THROW(ShowSettingsForm(*device, device->pageClasses, false, view), std::runtime_error);
  EXPECT_EQ(device->FocusDepth(), 0u);
}

TEST(SettingsDialogHelp, TextsByID) {
  const std::vector<std::pair<int32_t, std::string>> cases = {
      {1000,
       "Дополнительные функции: \r\n - Установка параметров в значение по умолчанию\r\n - Тест "
       "работоспособности устройства\r\n - Отображение полного списка настроек\r\n - Справка"},
      {1001, "Сохранить настройки и закрыть окно"},
      {1002, "Закрыть окно без сохранения настроек"},
      {1003, "Настройка параметров и подробная информация о драйвере"},
      {1004, "Прервать тест устройства; окно настроек останется открытым"},
      {1005, "Установить все значения по-умолчанию"},
      {999, ""},
      {1007, ""},
      {0, ""}};
  for (const auto& [id, text] : cases) EXPECT_EQ(TfrmCommonSettings::GetHelpByID(id), text) << id;
}

TEST_F(SettingsDialogTest, HelpPopupsWithoutAHelpFile) {
  const auto dialog = Dialog();
  EXPECT_FALSE(dialog->HelpEnabled());
  EXPECT_FALSE(Visible(*dialog, "miHelp"));
  view.hint = "подсказка";
  view.hintCorner = {40, 60};

  EXPECT_TRUE(dialog->FormHelp(THelpCommand::SetPopupPosition, (300 << 16) | 200));
  EXPECT_TRUE(dialog->FormHelp(THelpCommand::ContextPopup, 1001));
  EXPECT_TRUE(dialog->FormHelp(THelpCommand::ContextPopup, kPagesHelpContext));
  EXPECT_TRUE(dialog->FormHelp(THelpCommand::ContextPopup, 5));
  EXPECT_TRUE(dialog->FormHelp(THelpCommand::Other, 5));
  ASSERT_EQ(view.popups.size(), 3u);
  EXPECT_EQ(view.popups[0].Text, "Сохранить настройки и закрыть окно");
  EXPECT_EQ(view.popups[0].Pos.X, 200);
  EXPECT_EQ(view.popups[0].Pos.Y, 300);
  EXPECT_EQ(view.popups[1].Text, "подсказка");
  EXPECT_EQ(view.popups[1].Pos.X, 40);
  EXPECT_EQ(view.popups[1].Pos.Y, 60);
  // No popup is ever empty: a control without help of its own gets the help of the pages.
  EXPECT_EQ(view.popups[2].Text, kPagesHint);
  EXPECT_EQ(view.popups[2].TopicFile, "");
}

TEST_F(SettingsDialogTest, ControlsWithoutHelpOfTheirOwnShowTheHelpOfThePages) {
  const auto dialog = Dialog();
  // Help on the page area over a control without a hint, and on a control with no context at all.
  view.hint = "";
  dialog->FormHelp(THelpCommand::ContextPopup, kPagesHelpContext);
  dialog->FormHelp(THelpCommand::ContextPopup, 0);
  ASSERT_EQ(view.popups.size(), 2u);
  for (const THelpPopup& popup : view.popups) {
    EXPECT_EQ(popup.Text, "Настройка параметров и подробная информация о драйвере");
    EXPECT_EQ(popup.TopicFile, "");
  }
}

TEST_F(SettingsDialogTest, HelpFileBesideTheModuleServesTopicsAndTheHelpItem) {
  std::ofstream(env.Root() + "help.chm") << "help";
  const auto dialog = Dialog();
  EXPECT_TRUE(dialog->HelpEnabled());
  EXPECT_TRUE(Visible(*dialog, "miHelp"));
  dialog->FormHelp(THelpCommand::ContextPopup, 17);
  dialog->FormHelp(THelpCommand::ContextPopup, 0);
  ASSERT_EQ(view.popups.size(), 2u);
  EXPECT_EQ(view.popups[0].TopicFile, env.Root() + "help.chm::/popups.txt");
  EXPECT_EQ(view.popups[0].Topic, 17);
  EXPECT_EQ(view.popups[1].TopicFile, "");
  EXPECT_EQ(view.popups[1].Text, kPagesHint);
  dialog->MenuItemClick(MenuIndex(*dialog, "miHelp"));
  EXPECT_EQ(view.opened, std::vector<std::string>{env.Root() + "help.chm help"});
}

TEST_F(SettingsDialogTest, CurrentDebugLogIsOpenedWhenItExists) {
  env.fixedClock = true;
  device->DeviceFolder = env.Root() + "device";
  const auto dialog = Dialog();
  dialog->miOpenCurrentDebugLogClick();
  EXPECT_EQ(view.errors, std::vector<std::string>{"Ошибка: Отладочный лог не найден!"});
  EXPECT_TRUE(view.opened.empty());

  const std::string file = env.Root() + "device/Debug_2024.01.31.log";
  std::filesystem::create_directories(env.Root() + "device");
  std::ofstream(file) << "line";
  dialog->miOpenCurrentDebugLogClick();
  EXPECT_EQ(view.opened, std::vector<std::string>{file + " restored"});
}

TEST_F(SettingsDialogTest, DebugLogFolderOpensTheChosenFile) {
  device->DeviceFolder = env.Root();
  const auto dialog = Dialog();
  dialog->miOpenDebugLogDirectoryClick();
  EXPECT_TRUE(view.opened.empty());
  view.chosenFile = env.Root() + "Debug_2024.01.30.log";
  dialog->miOpenDebugLogDirectoryClick();
  EXPECT_EQ(view.choices, std::vector<std::string>(2, env.Root() + "|Файлы log|*.log;"));
  EXPECT_EQ(view.opened, std::vector<std::string>{env.Root() + "Debug_2024.01.30.log restored"});
}

TEST_F(SettingsDialogTest, LogoOpensTheMakersAddressMaximised) {
  const auto dialog = Dialog();
  dialog->imgLogoClick();
  EXPECT_EQ(view.opened, std::vector<std::string>{"https://maker.example maximized"});
  EXPECT_EQ(view.busyChanges, (std::vector<bool>{true, false}));
}

TEST_F(SettingsDialogTest, AdditionalActionsFollowTheStandardItems) {
  device->AddAction("Calibrate", "Калибровка");
  device->AddAction("Reboot", "Перезагрузка");
  const auto dialog = Dialog();
  const std::vector<TMenuItem>& items = dialog->MenuItems();
  const size_t help = MenuIndex(*dialog, "miHelp");
  ASSERT_EQ(items.size(), help + 4);
  EXPECT_EQ(items[help + 1].Command, TMenuCommand::Separator);
  EXPECT_EQ(items[help + 2].Caption, "Калибровка");
  EXPECT_EQ(items[help + 3].Caption, "Перезагрузка");

  dialog->MenuItemClick(help + 3);
  EXPECT_TRUE(view.errors.empty());
  device->actionCode = kResultUnknownError;
  dialog->MenuItemClick(help + 2);
  EXPECT_EQ(device->calls, (std::vector<std::string>{"action Reboot", "action Calibrate"}));
  EXPECT_EQ(view.errors, std::vector<std::string>{"Ошибка: действие не выполнено"});
  dialog->AdditionalActionClick(2);
  EXPECT_EQ(device->calls.size(), 2u);
}

TEST_F(SettingsDialogTest, MenuHasTheStandardItemsInOrder) {
  const auto dialog = Dialog();
  std::vector<std::string> captions;
  for (const TMenuItem& item : dialog->MenuItems()) captions.push_back(item.Caption);
  EXPECT_EQ(captions,
            (std::vector<std::string>{"Установить значения по-умолчанию", "Выполнить тест устройства",
                                      "Показать полный список настроек", "Просмотр отладочных логов",
                                      "Открыть текущий отладочный лог",
                                      "Открыть папку с файлами отладочных логов", "-", "Справка"}));
}

}  // namespace
}  // namespace tallowmer
