// The text dialog as a user at a terminal drives it: the typed lines come from a string and the
// printed dialog goes to another.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <sstream>
#include <thread>

#include "common/VariantConvert.h"
#include "common/uCommonUtils.h"

#include "tests/device/DeviceTestSupport.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/posix/TerminalSettingsView.h"

namespace tallowmer {
namespace {

using testing::Held;
using testing::TUiTestDevice;

class TerminalViewTest : public ::testing::Test {
 protected:
  TerminalViewTest() {
    device->SetSettingValue("Host", OleVariant::Text("https://saved.example"));
    device->SetSettingValue("Token", OleVariant::Text("тайна-42"));
  }

  // Shows the dialog to a user who types `typed`; whether it was confirmed.
  bool Run(const std::string& typed) {
    std::istringstream in(typed);
    TTerminalSettingsView view(in, out);
    return ShowSettingsForm(*device, device->pageClasses, false, view);
  }

  // The number the settings list shows for setting `id`.
  std::string RowOf(const std::string& id) {
    for (int32_t row = 0; row < device->SettingsCount(); ++row) {
      if (device->GetSetting(row)->ID == id) return std::to_string(row + 1);
    }
    throw std::out_of_range(id);
  }

  testing::TestEnv env;
  Held<TUiTestDevice> device;
  std::ostringstream out;
};

TEST_F(TerminalViewTest, ShowsTheTabsAsSectionsTheMaskedTokenAndTheMenu) {
  EXPECT_FALSE(Run("x\n"));
  const std::string printed = out.str();
  for (const char* expected :
       {"[Параметры]\n  1. Адрес сервера: https://saved.example\n  2. Token: ••••••••\n[Информация]\n",
        "  Модель: Тестовая модель\n", "  Версия: 4.5.6\n",
        "  a. Установить значения по-умолчанию\n  b. Выполнить тест устройства\n"
        "  c. Показать полный список настроек\n  o. ОК\n  x. Отмена\n"}) {
    EXPECT_NE(printed.find(expected), std::string::npos) << expected << "\nin:\n" << printed;
  }
  EXPECT_EQ(printed.find("тайна"), std::string::npos);
  // The contact information has several lines: each stays inside its section.
  const size_t information = printed.find("[Информация]\n");
  const size_t menu = printed.find("\n\n  a. ");
  ASSERT_LT(information, menu);
  std::istringstream section(printed.substr(information, menu - information));
  std::string line;
  std::getline(section, line);
  while (std::getline(section, line)) EXPECT_EQ(line.rfind("  ", 0), 0u) << line;
  EXPECT_EQ(printed.find('\r'), std::string::npos);
  // Without "DebugLogEnabled" there is no debug-log submenu.
  EXPECT_EQ(printed.find("Просмотр отладочных логов"), std::string::npos);
}

TEST_F(TerminalViewTest, DebugLogSubmenuFollowsTheSetting) {
  device->SetSettingValue("DebugLogEnabled", OleVariant::Boolean(true));
  EXPECT_FALSE(Run("x\n"));
  EXPECT_NE(out.str().find("  Просмотр отладочных логов:\n    d. Открыть текущий отладочный лог\n"
                           "    e. Открыть папку с файлами отладочных логов\n  o. ОК"),
            std::string::npos)
      << out.str();
}

TEST_F(TerminalViewTest, DebugLogFolderOpensTheFileNamedThere) {
  device->SetSettingValue("DebugLogEnabled", OleVariant::Boolean(true));
  device->DeviceFolder = env.Root() + "logs";
  EXPECT_FALSE(Run("e\nDebug_2024.01.31.log\ne\n\nx\n"));
  const std::string printed = out.str();
  const std::string opened = "Откройте: " + env.Root() + "logs/Debug_2024.01.31.log\n";
  ASSERT_NE(printed.find(opened), std::string::npos) << printed;
  EXPECT_EQ(printed.find("Откройте: ", printed.find(opened) + opened.size()), std::string::npos);
}

struct TypedCase {
  const char* name;
  const char* typed;
  bool confirmed;
  const char* host;
  const char* token;
};

void PrintTo(const TypedCase& typed, std::ostream* out) {
  *out << typed.name;
}

class TypedDialogTest : public TerminalViewTest, public ::testing::WithParamInterface<TypedCase> {};

TEST_P(TypedDialogTest, StoresWhatOkConfirms) {
  const TypedCase& typed = GetParam();
  EXPECT_EQ(Run(typed.typed), typed.confirmed);
  EXPECT_EQ(device->GetSettingValueStr("Host"), typed.host);
  EXPECT_EQ(device->GetSettingValueStr("Token"), typed.token);
  EXPECT_EQ(device->calls.back(), "settings changed");
}

INSTANTIATE_TEST_SUITE_P(
    Lines, TypedDialogTest,
    ::testing::Values(
        TypedCase{"HostThenOk", "1\nhttps://new.example\no\n", true, "https://new.example", "тайна-42"},
        TypedCase{"HostThenCancel", "1\nhttps://new.example\nx\n", false, "https://saved.example",
                  "тайна-42"},
        TypedCase{"InputEndsWithoutAnAnswer", "1\nhttps://new.example\n", false, "https://saved.example",
                  "тайна-42"},
        TypedCase{"EscapeKeepsTheField", "1\n\x1b\n o \n", true, "https://saved.example", "тайна-42"},
        TypedCase{"EmptyLineEmptiesTheField", "2\n\no\n", true, "https://saved.example", ""},
        TypedCase{"TokenAndHostWithWindowsLineEnds", "2\r\nновый\r\n1\r\nhttps://crlf.example\r\no\r\n", true,
                  "https://crlf.example", "новый"},
        TypedCase{"UnknownChoicesChangeNothing", "3\n0\nq\n\no\n", true, "https://saved.example", "тайна-42"},
        TypedCase{"ResetThenOk", "a\no\n", true, testing::kDefaultHost, ""},
        TypedCase{"ResetThenCancel", "a\nx\n", false, testing::kDefaultHost, ""}),
    [](const ::testing::TestParamInfo<TypedCase>& info) { return std::string(info.param.name); });

TEST_F(TerminalViewTest, UnknownChoiceIsTold) {
  EXPECT_TRUE(Run("q\no\n"));
  EXPECT_NE(out.str().find("Нет такого поля или команды: q\n"), std::string::npos);
}

TEST_F(TerminalViewTest, DeviceTestUsesTheEditedHostAndPrintsTheFailure) {
  device->testPasses = false;
  device->testDescription = "сервер не ответил";
  EXPECT_FALSE(Run("1\nhttps://edited.example\nb\nx\n"));
  EXPECT_EQ(device->calls,
            (std::vector<std::string>{"enable Host=https://edited.example",
                                      "test Host=https://edited.example", "settings changed"}));
  EXPECT_NE(out.str().find("Выполняется тест устройства…\n"), std::string::npos);
  EXPECT_NE(out.str().find("Ошибка: сервер не ответил\n"), std::string::npos);
  EXPECT_EQ(device->GetSettingValueStr("Host"), "https://saved.example");
}

TEST_F(TerminalViewTest, DeviceTestWaitsForItsRequestAndThenGoesOn) {
  auto ran = std::make_shared<std::atomic<bool>>(false);
  device->testWork = [ran] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ran->store(true);
  };
  EXPECT_FALSE(Run("b\nx\n"));
  EXPECT_TRUE(ran->load());
  EXPECT_EQ(out.str().find("Ошибка"), std::string::npos) << out.str();
}

TEST_F(TerminalViewTest, WaitThroughStreamsEndsWhenTheWorkIsDoneOrTheTimeIsUp) {
  std::istringstream in;
  TTerminalSettingsView view(in, out);
  const auto soon = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
  EXPECT_EQ(view.WaitWhileBusy([] { return true; }, soon), TWaitEnd::Finished);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(view.WaitWhileBusy([] { return false; }, soon), TWaitEnd::TimedOut);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
}

struct ListCase {
  const char* name;
  // The list's lines; ROW stands for the row of the setting "Retries", BOOL for "DebugLogEnabled".
  const char* listTyped;
  const char* dialogTyped;
  bool confirmed;
  int32_t retries;
  bool debugLog;
};

void PrintTo(const ListCase& list, std::ostream* out) {
  *out << list.name;
}

class TypedListTest : public TerminalViewTest, public ::testing::WithParamInterface<ListCase> {};

TEST_P(TypedListTest, EditsRowsByNumber) {
  const ListCase& list = GetParam();
  device->SetSettingValue("Retries", OleVariant::Int32(9));
  std::string typed = std::string("c\n") + list.listTyped + list.dialogTyped;
  for (const auto& [mark, id] : {std::pair{"ROW", "Retries"}, std::pair{"BOOL", "DebugLogEnabled"}}) {
    for (size_t at = typed.find(mark); at != std::string::npos; at = typed.find(mark))
      typed.replace(at, std::string(mark).size(), RowOf(id));
  }
  EXPECT_EQ(Run(typed), list.confirmed);
  EXPECT_EQ(device->GetSettingValueInt("Retries"), list.retries);
  EXPECT_EQ(device->GetSettingValueBool("DebugLogEnabled"), list.debugLog);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, TypedListTest,
    ::testing::Values(ListCase{"RowEditedThenBothOk", "ROW\n7\no\n", "o\n", true, 7, false},
                      ListCase{"RowEditedThenDialogCancelled", "ROW\n7\no\n", "x\n", false, 9, false},
                      ListCase{"RowEditedThenListCancelled", "ROW\n7\nx\n", "o\n", true, 9, false},
                      ListCase{"EscapeDropsTheEdit", "ROW\n\x1b\no\n", "o\n", true, 9, false},
                      ListCase{"TextIntoANumberStoresZero", "ROW\nabc\no\n", "o\n", true, 0, false},
                      ListCase{"BooleanByItemNumber", "BOOL\n1\no\n", "o\n", true, 9, true},
                      ListCase{"BooleanRefusesOtherAnswers", "BOOL\nTrue\no\n", "o\n", true, 9, false},
                      ListCase{"RowToItsDefault", "dROW\no\n", "o\n", true, 3, false},
                      ListCase{"AllToDefaults", "d\no\n", "o\n", true, 3, false},
                      ListCase{"RowsOutsideTheTableChangeNothing", "0\n99\ndx\no\n", "o\n", true, 9, false},
                      ListCase{"InputEndsInTheList", "ROW\n7\n", "", false, 9, false}),
    [](const ::testing::TestParamInfo<ListCase>& info) { return std::string(info.param.name); });

TEST_F(TerminalViewTest, ListShowsNumberedRowsAndTheEditedRowAgain) {
  EXPECT_TRUE(Run("c\n" + RowOf("Retries") + "\n5\no\no\n"));
  const std::string printed = out.str();
  const std::string row = "  " + RowOf("Retries") + ". Повторы = ";
  EXPECT_NE(printed.find("== Список настроек ==\n  1. "), std::string::npos) << printed;
  EXPECT_NE(printed.find(row + "3  (по умолчанию: 3)\n"), std::string::npos) << printed;
  EXPECT_NE(printed.find("Число повторов\n"), std::string::npos) << printed;
  EXPECT_NE(printed.find(row + "5\n"), std::string::npos) << printed;
  EXPECT_NE(printed.find("  1. Адрес сервера: https://saved.example"), std::string::npos);
}

// A device whose dialog talks to the terminal at `terminal`.
class TTerminalDevice : public TUiTestDevice {
 public:
  bool DoShowSettingsDlg() override {
    TTerminalSettingsView view(terminal);
    return ShowSettingsForm(*this, pageClasses, false, view);
  }
  std::string terminal;
};

TEST(TerminalViewWithoutTerminal, ShowSettingsDlgAnswersCancelled) {
  testing::TestEnv env;
  Held<TTerminalDevice> device;
  device->terminal = env.Root() + "no-such-terminal";
  device->SetSettingValue("Host", OleVariant::Text("https://saved.example"));
  OleVariant outData;
  const testing::Outcome outcome = testing::PublicCall(*device, "ShowSettingsDlg", OleVariant(), outData);
  EXPECT_FALSE(outcome.result.BooleanValue());
  EXPECT_EQ(VarToInt32(GetArrayItem(outData, 0)), kResultCancelled);
  EXPECT_EQ(device->GetSettingValueStr("Host"), "https://saved.example");
  EXPECT_EQ(device->calls, std::vector<std::string>{"settings changed"});
}

}  // namespace
}  // namespace tallowmer
