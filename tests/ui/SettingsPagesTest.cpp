#include <gtest/gtest.h>

#include "tests/device/DeviceTestSupport.h"
#include "tests/ui/UiTestSupport.h"

namespace tallowmer {
namespace {

using testing::Held;
using testing::TRecordingPage;
using testing::TScriptedView;
using testing::TUiTestDevice;

class SettingsPagesTest : public ::testing::Test {
 protected:
  SettingsPagesTest() {
    device->SetSettingValue("Host", OleVariant::Text("https://old.example"));
    device->SetSettingValue("Token", OleVariant::Text("old-token"));
  }

  testing::TestEnv env;
  Held<TUiTestDevice> device;
  TScriptedView view;
};

TEST_F(SettingsPagesTest, MainPageShowsTheCurrentConnectionSettings) {
  TfrmMainSettings page(*device);
  page.OnReadSettings();
  EXPECT_EQ(page.edHost, "https://old.example");
  EXPECT_EQ(page.edToken, "old-token");
  const std::vector<TPageEdit> edits = page.Edits();
  ASSERT_EQ(edits.size(), 2u);
  EXPECT_EQ(edits[0].Caption, "Адрес сервера:");
  EXPECT_EQ(edits[0].Text, &page.edHost);
  EXPECT_FALSE(edits[0].Masked);
  EXPECT_EQ(edits[1].Caption, "Token:");
  EXPECT_EQ(edits[1].Text, &page.edToken);
  EXPECT_TRUE(edits[1].Masked);
  EXPECT_EQ(page.Caption(), "Параметры");
}

TEST_F(SettingsPagesTest, MainPageStoresTheTextsExactlyAsTypedAndNeverRefuses) {
  TfrmMainSettings page(*device);
  page.edHost = "  https://new.example/api ";
  page.edToken = "";
  bool allowClose = false;
  page.OnSaveSettings(allowClose);
  EXPECT_TRUE(allowClose);
  page.OnSaveSettings();
  EXPECT_EQ(device->GetSettingValue("Host").Type(), varOleStr);
  EXPECT_EQ(device->GetSettingValueStr("Host"), "  https://new.example/api ");
  EXPECT_EQ(device->GetSettingValueStr("Token"), "");
}

TEST_F(SettingsPagesTest, CreateRunsTheHookOfTheActualPageClass) {
  constexpr TPageClass pageClass = &TfrmBaseSettings::Create<TRecordingPage<testing::kFirst>>;
  const std::unique_ptr<TfrmBaseSettings> page = pageClass(*device);
  EXPECT_EQ(device->calls, std::vector<std::string>{"first created"});
  EXPECT_EQ(&page->DeviceManager(), &*device);
}

TEST_F(SettingsPagesTest, EnableDeviceTriesThePageValuesAndDisableDevicePutsTheOldOnesBack) {
  TfrmMainSettings page(*device);
  TfrmCommonSettings dialog(*device, {}, view);
  page.SetOwnerFrm(&dialog);
  page.edHost = "https://tried.example";
  page.edToken = "tried-token";

  std::string description = "stale";
  EXPECT_EQ(page.EnableDevice(description), kResultOk);
  EXPECT_EQ(description, "");
  EXPECT_TRUE(device->Enabled());
  EXPECT_EQ(device->calls, std::vector<std::string>{"enable Host=https://tried.example"});

  page.DisableDevice();
  EXPECT_FALSE(device->Enabled());
  EXPECT_EQ(device->GetSettingValueStr("Host"), "https://old.example");
  EXPECT_EQ(device->GetSettingValueStr("Token"), "old-token");
  EXPECT_EQ(view.busyChanges, (std::vector<bool>{true, false}));
}

TEST_F(SettingsPagesTest, EnableDeviceWithAListSavesOnlyTheListedSettings) {
  TfrmMainSettings page(*device);
  page.edHost = "https://tried.example";
  page.edToken = "tried-token";
  EXPECT_EQ(page.EnableDevice({"Host"}), kResultOk);
  page.DisableDevice();
  EXPECT_EQ(device->GetSettingValueStr("Host"), "https://old.example");
  EXPECT_EQ(device->GetSettingValueStr("Token"), "tried-token");
}

TEST_F(SettingsPagesTest, EnableDeviceOnARefusingPageAnswers1020WithoutEnabling) {
  TRecordingPage<testing::kRefusing, true> page(*device);
  EXPECT_EQ(page.EnableDevice(), kResultBadSettings);
  EXPECT_FALSE(device->Enabled());
  EXPECT_EQ(device->calls, std::vector<std::string>{"refusing check"});
}

TEST_F(SettingsPagesTest, EnableDevicePassesOnTheFailureOfTheDevice) {
  TfrmMainSettings page(*device);
  device->enableCode = kResultUnknownError;
  device->enableDescription = "нет связи";
  std::string description;
  EXPECT_EQ(page.EnableDevice(description), kResultUnknownError);
  EXPECT_EQ(description, "нет связи");
  EXPECT_FALSE(device->Enabled());
}

TEST_F(SettingsPagesTest, NotifyOwnerReachesEveryPageInTheOrderTheyWereAdded) {
  TfrmCommonSettings dialog(*device,
                            {&TfrmBaseSettings::Create<TRecordingPage<testing::kFirst>>,
                             &TfrmBaseSettings::Create<TRecordingPage<testing::kSecond>>,
                             &TfrmBaseSettings::Create<TRecordingPage<testing::kThird>>},
                            view);
  device->calls.clear();
  dialog.Pages()[1]->NotifyOwner("Port", "COM3");
  EXPECT_EQ(device->calls, (std::vector<std::string>{"first notified Port=COM3", "second notified Port=COM3",
                                                     "third notified Port=COM3"}));
}

}  // namespace
}  // namespace tallowmer
