#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/host/RegistrationReport.h"

namespace tallowmer::host {
namespace {

constexpr const char* kInstalled = "C:\\PROGRA~1\\Quorvane\\LS_TAL~1\\LS_TAL~1.DLL";
constexpr const char* kZip = "C:\\Quorvane\\ls_tallowmer\\x64\\ls_tallowmer.dll";

struct Case {
  const char* name;
  std::vector<ClassRegistration> views;
  // The line begins so, and holds these texts.
  const char* verdict;
  std::vector<std::string> says;
};

class RegistrationReportTest : public ::testing::TestWithParam<Case> {};

TEST_P(RegistrationReportTest, NamesEachViewAndWarnsOfAUserRegistrationOverTheMachines) {
  const std::string line = DescribeRegistrations(GetParam().views);
  EXPECT_EQ(line.rfind(GetParam().verdict, 0), 0u) << line;
  for (const std::string& text : GetParam().says)
    EXPECT_NE(line.find(text), std::string::npos) << text << "\n" << line;
}

INSTANTIATE_TEST_SUITE_P(
    Views, RegistrationReportTest,
    ::testing::Values(
        Case{"InstalledForEveryone",
             {{"32-разрядных", kInstalled, ""}, {"64-разрядных", kInstalled, ""}},
             "Регистрация драйвера — ОК: ",
             {"для 32-разрядных программ: для всех пользователей, " + std::string(kInstalled),
              "для 64-разрядных программ: для всех пользователей"}},
        Case{"UserRegistrationOverridesTheInstalledOne",
             {{"32-разрядных", kInstalled, ""}, {"64-разрядных", kInstalled, kZip}},
             "Регистрация драйвера — ВНИМАНИЕ: ",
             {"касса этого пользователя (64-разрядных программ) загружает драйвер из " + std::string(kZip) +
                  ", а не установленный " + kInstalled,
              "unregister.cmd", "для 32-разрядных программ: для всех пользователей"}},
        Case{"OnlyForThisUser",
             {{"32-разрядных", "", kZip}},
             "Регистрация драйвера — ОК: ",
             {"для 32-разрядных программ: только для этого пользователя, " + std::string(kZip)}},
        Case{"NotRegistered", {{"32-разрядных", "", ""}}, "Регистрация драйвера — ОК: ", {"программ: нет"}}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(RegistrationReport, SaysNothingWhereThereIsNoRegistry) {
  EXPECT_EQ(DescribeRegistrations({}), "");
}

}  // namespace
}  // namespace tallowmer::host
