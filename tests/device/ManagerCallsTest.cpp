#include <gtest/gtest.h>

#include <functional>
#include <ostream>

#include "common/Exceptions.h"
#include "tests/device/DeviceFixture.h"

namespace tallowmer {
namespace {

using testing::DeviceFixture;
using testing::ManagerCall;

// One member of the host's equipment manager as the device calls it.
struct MemberCase {
  const char* name;
  const char* member;
  // What the manager answers and what the device makes of it.
  OleVariant answer;
  std::function<std::string(TBaseDevice&)> call;
  std::string expectedResult;
  // In call order: the device identifier first.
  std::string expectedArguments;
  std::vector<VarType> expectedKinds;
  std::vector<bool> expectedByReference;
};

void PrintTo(const MemberCase& c, std::ostream* out) {
  *out << c.name;
}

std::string Flag(bool value) {
  return value ? "true" : "false";
}

const MemberCase kMembers[] = {
    {"GetAppProperty",
     "GetAppProperty",
     OleVariant::Boolean(true),
     [](TBaseDevice& d) { return d.GetAppProperty("Language"); },
     "ru",
     "[('3'; 'Language'; '')]",
     {varOleStr, varOleStr, varOleStr},
     {true, true, true}},
    {"DataEvent",
     "DataEvent",
     OleVariant::Int32(1),
     [](TBaseDevice& d) { return Flag(d.DataEvent("E", "D", OleVariant::Int32(5))); },
     "true",
     "[('3'; 'E'; 'D'; 5)]",
     {varOleStr, varOleStr, varOleStr, varInteger},
     {false, false, false, true}},
    {"ErrorEvent",
     "ErrorEvent",
     OleVariant::Boolean(false),
     [](TBaseDevice& d) { return Flag(d.ErrorEvent("N", "Описание", OleVariant())); },
     "false",
     "[('3'; 'N'; 'Описание'; EMPTY)]",
     {varOleStr, varOleStr, varOleStr, varEmpty},
     {false, false, false, true}},
    {"TaskState",
     "TaskState",
     OleVariant::Text("True"),
     [](TBaseDevice& d) { return Flag(d.TaskState(50, "x")); },
     "true",
     "[('3'; 50; 'x')]",
     {varOleStr, varInteger, varOleStr},
     {false, true, false}},
    {"WriteLog",
     "WriteLog",
     OleVariant::Boolean(true),
     [](TBaseDevice& d) { return Flag(d.WriteLog("Name", "Text", 2)); },
     "true",
     "[('3'; 'Name'; 'Text'; 2)]",
     {varOleStr, varOleStr, varOleStr, varInteger},
     {false, false, false, true}},
    {"ShowMessageDlg",
     "MessageDlg",
     OleVariant::Double(6.0),
     [](TBaseDevice& d) { return std::to_string(d.ShowMessageDlg("m", 1, 2, 3)); },
     "6",
     "[('3'; 'm'; 1; 2; 3)]",
     {varOleStr, varOleStr, varInteger, varInteger, varInteger},
     {false, false, true, true, true}},
    {"InputDataDlg",
     "InputDataDlg",
     OleVariant::Int32(42),
     [](TBaseDevice& d) { return d.InputDataDlg("c", "d", "e", "f", true, 9); },
     "42",
     "[('3'; 'c'; 'd'; 'e'; 'f'; True; 9)]",
     {varOleStr, varOleStr, varOleStr, varOleStr, varOleStr, varBoolean, varInteger},
     {false, false, false, false, false, false, true}},
};

class ManagerMemberTest : public DeviceFixture, public ::testing::WithParamInterface<MemberCase> {};

TEST_P(ManagerMemberTest, IsCalledByNameWithTheDeviceIdFirstAndItsAnswerConverted) {
  const MemberCase& c = GetParam();
  device.InitAndOpen("3");
  device->SetEventLogEnabled(true);
  if (std::string(c.member) != "GetAppProperty") device.Manager().answers[c.member] = c.answer;
  device.Manager().calls.clear();

  EXPECT_EQ(c.call(*device), c.expectedResult);

  const std::vector<ManagerCall> calls = device.Manager().CallsOf(c.member);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(VarToLogStr(OleVariant::Vector(calls[0].arguments)), c.expectedArguments);
  EXPECT_EQ(calls[0].kinds, c.expectedKinds);
  EXPECT_EQ(calls[0].byReference, c.expectedByReference);
}

TEST_P(ManagerMemberTest, WithoutAManagerOnlyWriteLogGoesQuietly) {
  const MemberCase& c = GetParam();
  device->SetEventLogEnabled(true);
  if (std::string(c.member) == "WriteLog") {
    EXPECT_EQ(c.call(*device), "false");
    return;
  }
  try {
    c.call(*device);
    FAIL() << c.name << " ran without a manager";
  } catch (const Exception& error) {
    EXPECT_EQ(error.Message(), "Менеджер оборудования недоступен");
    // A plain failure, not an equipment error with a code of its own.
    EXPECT_STREQ(error.ClassName(), "Exception");
  }
}

INSTANTIATE_TEST_SUITE_P(DeviceTest, ManagerMemberTest, ::testing::ValuesIn(kMembers),
                         [](const ::testing::TestParamInfo<MemberCase>& info) { return info.param.name; });

class ManagerCallsTest : public DeviceFixture {};

TEST_F(ManagerCallsTest, InitAsksForTheModelsFolderAndTheLanguageAndOpenForTheDevicesFolder) {
  device.InitAndOpen("9");
  std::vector<std::string> asked;
  for (const ManagerCall& call : device.Manager().CallsOf("GetAppProperty")) {
    asked.push_back(VarToStr(call.arguments[0]) + ":" + VarToStr(call.arguments[1]));
  }
  const std::vector<std::string> expected = {":ModelsFolder", ":Language", "9:DevicesFolder"};
  EXPECT_EQ(asked, expected);
}

TEST_F(ManagerCallsTest, AFailingManagerCallPropagatesWithTheManagersMessageAndLogsNothing) {
  device.InitAndOpen();
  device->SetLogDir(env.Root());
  device->SetDebugLogEnabled(true);
  device.Manager().failing = true;
  try {
    device->DataEvent("A", "B");
    FAIL() << "the manager's failure was swallowed";
  } catch (const EOleException& error) {
    EXPECT_EQ(error.Message(), "менеджер отказал");
  }
  EXPECT_THROW(device->TaskState(1, "x"), EOleException);
  const std::string log = Log();
  EXPECT_EQ(log.find("DataEvent"), std::string::npos) << log;
  EXPECT_EQ(log.find("TaskState"), std::string::npos) << log;
}

TEST_F(ManagerCallsTest, AManagerWithoutTheMemberFailsTheCall) {
  auto* bare = new TBaseObject;
  bare->Initialize();
  const DispatchPtr reference = DispatchPtr::Attach(bare);
  OleVariant manager = OleVariant::Dispatch(reference);
  OleVariant description;
  // Init itself asks the manager for host properties it cannot answer.
  const testing::Outcome outcome = testing::HostCall(*device, "Init", {&manager, &description});
  EXPECT_EQ(outcome.hr, hrDispException);
  EXPECT_THROW(device->DataEvent("A", "B"), EOleException);
}

TEST_F(ManagerCallsTest, EventsWriteTheirDebugLogLines) {
  device.InitAndOpen("3");
  device->SetLogDir(env.Root());
  device->SetDebugLogEnabled(true);
  EXPECT_TRUE(device->TaskState(50, "x"));
  device.Manager().answers["TaskState"] = OleVariant::Boolean(false);
  EXPECT_FALSE(device->TaskState(7, "y"));
  EXPECT_TRUE(device->DataEvent("A", "B"));
  EXPECT_TRUE(device->DataEvent("A", "B", OleVariant::Vector({OleVariant::Int32(1), OleVariant::Int32(2)})));
  EXPECT_TRUE(device->ErrorEvent("E", "F", OleVariant()));
  device->ShowMessageDlg("m", 0, 0, 0);
  const std::string log = Log();
  EXPECT_NE(log.find("\tTaskState: \tPercent=50; Description=x; Result=True\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("\tTaskState: \tPercent=7; Description=y; Result=False\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("\t<-DataEvent: \tEvent=A; Data: B\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("\t<-DataEvent: \tEvent=A; Data: B; ExtData: [(1; 2)]\r\n"), std::string::npos) << log;
  // Errors and dialogs leave no line of their own.
  EXPECT_EQ(log.find("ErrorEvent"), std::string::npos) << log;
  EXPECT_EQ(log.find("MessageDlg"), std::string::npos) << log;
}

TEST_F(ManagerCallsTest, WriteLogReachesTheHostOnlyWithTheEventLogOn) {
  device.InitAndOpen("3");
  device->SetLogDir(env.Root());
  device->SetDebugLogEnabled(true);
  EXPECT_FALSE(device->WriteLog("Name", "Text", 2));
  EXPECT_NE(Log().find("\tName: \tText\r\n"), std::string::npos);
  EXPECT_TRUE(device.Manager().CallsOf("WriteLog").empty());

  // TaskState goes through the same gate.
  device->TaskState(50, "x");
  EXPECT_TRUE(device.Manager().CallsOf("WriteLog").empty());

  device->SetEventLogEnabled(true);
  device.Manager().answers["WriteLog"] = OleVariant::Boolean(false);
  EXPECT_FALSE(device->WriteLog("Name", "Text", 2));
  device->TaskState(50, "x");
  const std::vector<ManagerCall> calls = device.Manager().CallsOf("WriteLog");
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(VarToLogStr(OleVariant::Vector(calls[1].arguments)),
            "[('3'; 'TaskState'; 'Percent=50; Description=x; Result=True'; 1)]");
}

TEST_F(ManagerCallsTest, TheEventLogNeedsNoDebugLog) {
  device.InitAndOpen("3");
  device->SetLogDir(env.Root());
  device->SetEventLogEnabled(true);
  EXPECT_TRUE(device->WriteLog("Name", "Text", 2));
  EXPECT_EQ(Log(), "");
}

// The host's window around a modal window of the device.
class FocusTest : public DeviceFixture {};

TEST_F(FocusTest, TheRememberedWindowIsBlockedThenFreedAndBroughtBack) {
  env.foreground = 5;
  device->StoreFocus();
  env.foreground = 9;  // the modal window took the foreground
  device->RestoreFocus();
  const std::vector<std::string> expected = {"disable 5", "enable 5", "activate 5"};
  EXPECT_EQ(env.windowEvents, expected);
  EXPECT_EQ(device->FocusDepth(), 0u);
}

TEST_F(FocusTest, AWindowStillInFrontIsOnlyFreed) {
  env.foreground = 5;
  device->StoreFocus();
  device->RestoreFocus();
  const std::vector<std::string> expected = {"disable 5", "enable 5"};
  EXPECT_EQ(env.windowEvents, expected);
}

TEST_F(FocusTest, NestedPairsRestoreInReverseOrder) {
  env.foreground = 5;
  device->StoreFocus();
  env.foreground = 7;
  device->StoreFocus();
  env.foreground = 9;
  device->RestoreFocus();
  device->RestoreFocus();
  const std::vector<std::string> expected = {"disable 5",  "disable 7", "enable 7",
                                             "activate 7", "enable 5",  "activate 5"};
  EXPECT_EQ(env.windowEvents, expected);
}

TEST_F(FocusTest, WithoutAForegroundWindowTheStackKeepsNullEntries) {
  device->StoreFocus();
  device->StoreFocus();
  EXPECT_EQ(device->FocusDepth(), 2u);
  device->RestoreFocus();
  device->RestoreFocus();
  device->RestoreFocus();  // unmatched: nothing to do
  EXPECT_EQ(device->FocusDepth(), 0u);
  EXPECT_TRUE(env.windowEvents.empty());
}

}  // namespace
}  // namespace tallowmer
