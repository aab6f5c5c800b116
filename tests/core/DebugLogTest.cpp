#include <gtest/gtest.h>

#include <filesystem>

#include "common/Unicode.h"
#include "common/VariantConvert.h"
#include "tests/core/TestObject.h"
#include "tests/support/TestEnv.h"

namespace tallowmer {
namespace {

constexpr const char* kInstance = "{11111111-2222-3333-4444-555555555555}";

class DebugLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env.fixedClock = true;
    logDir = env.Root() + "device/";
    std::filesystem::create_directories(logDir);
    object->SetLogDir(logDir);
    object->SetInstanceID(kInstance);
  }

  std::string LogFile(const char* date = "2024.01.31") { return logDir + "Debug_" + date + ".log"; }
  std::string PrivateLogFile() { return env.Root() + "user/Quorvane/ls_tallowmer/logs/Debug_2024.01.31.log"; }

  // A folder where the day's file should be, in the device folder and in the user's own: the shared
  // log is refused, and the private one, where its lines would go, cannot take them either.
  void SpoilLog() {
    std::filesystem::remove(LogFile());
    std::filesystem::create_directories(LogFile());
    std::filesystem::create_directories(PrivateLogFile());
  }
  void MendLog() {
    std::filesystem::remove(LogFile());
    std::filesystem::remove(PrivateLogFile());
  }

  testing::TestEnv env;
  testing::TestObjectHolder object;
  std::string logDir;
};

TEST_F(DebugLogTest, WritesNothingWhileSwitchedOff) {
  object->WriteDebugLog("title", "text");
  OleVariant inData;
  OleVariant outData;
  OleVariant timeOut = OleVariant::Int32(0);
  testing::CallByRef(*object, u"Echo", {&inData, &outData, &timeOut});
  EXPECT_TRUE(std::filesystem::is_empty(logDir));
  EXPECT_FALSE(std::filesystem::exists(env.Root() + "common"));
}

TEST_F(DebugLogTest, LineLayoutByteForByte) {
  object->SetDebugLogEnabled(true);
  object->WriteDebugLog("Title", "text");
  object->WriteDebugLog("Only", "ignored", true);
  object->WriteDebugLog("Empty", "");
  const std::string prefix = std::string("2024.01.31 10:20:30.000 Inst.: ") + kInstance + "\t";
  EXPECT_EQ(testing::TestEnv::ReadFile(LogFile()), prefix + "header\r\n" + prefix + "Title: \ttext\r\n" +
                                                       prefix + "Only\r\n" + prefix + "Empty: \t\r\n");
}

TEST_F(DebugLogTest, HeaderIsWrittenOnceForEachSwitchOn) {
  object->SetDebugLogEnabled(true);
  object->SetDebugLogEnabled(true);
  object->SetDebugLogEnabled(false);
  object->SetDebugLogEnabled(true);
  const std::string content = testing::TestEnv::ReadFile(LogFile());
  size_t headers = 0;
  for (size_t at = content.find("header"); at != std::string::npos; at = content.find("header", at + 1))
    ++headers;
  EXPECT_EQ(headers, 2u);
}

TEST_F(DebugLogTest, LinesAcrossMidnightGoToTwoFiles) {
  object->SetDebugLogEnabled(true);
  env.clock = {2024, 1, 31, 23, 59, 59, 999};
  object->WriteDebugLog("late", "");
  env.clock = {2024, 2, 1, 0, 0, 0, 0};
  object->WriteDebugLog("early", "");
  EXPECT_NE(testing::TestEnv::ReadFile(LogFile("2024.01.31")).find("23:59:59.999"), std::string::npos);
  EXPECT_NE(testing::TestEnv::ReadFile(LogFile("2024.02.01")).find("2024.02.01 00:00:00.000"),
            std::string::npos);
}

TEST_F(DebugLogTest, MissingPreferredFolderFallsBackToTheDefaultFolder) {
  object->SetLogDir(env.Root() + "no-such-folder");
  object->SetDebugLogEnabled(true);
  const std::string folder = GetDefaultDebugLogDir();
  EXPECT_EQ(folder, env.Root() + "common/" + ExtractFileNameWithoutExtension(GetModuleFilePath()) + "/");
  EXPECT_NE(testing::TestEnv::ReadFile(folder + "Debug_2024.01.31.log").find("header"), std::string::npos);
}

TEST_F(DebugLogTest, TwoObjectsInterleaveLinesWithTheirOwnIdentifiers) {
  testing::TestObjectHolder other;
  other->SetLogDir(logDir);
  object->SetDebugLogEnabled(true);
  other->SetDebugLogEnabled(true);
  object->WriteDebugLog("first", "");
  other->WriteDebugLog("second", "");
  const std::string content = testing::TestEnv::ReadFile(LogFile());
  EXPECT_NE(content.find(std::string(kInstance) + "\tfirst"), std::string::npos);
  EXPECT_NE(content.find(other->InstanceID() + "\tsecond"), std::string::npos);
  EXPECT_NE(other->InstanceID(), kInstance);
  EXPECT_EQ(other->InstanceID().size(), 38u);
}

TEST_F(DebugLogTest, TracesPublicAndPrivateCalls) {
  object->SetDebugLogEnabled(true);
  object->codeToReturn = 1003;
  OleVariant inData = OleVariant::Vector({OleVariant::Int32(5), OleVariant::Text("a\r\nb")});
  OleVariant outData;
  OleVariant timeOut = OleVariant::Int32(0);
  testing::CallByRef(*object, u"Echo", {&inData, &outData, &timeOut});
  OleVariant first = OleVariant::Int32(1);
  testing::CallByRef(*object, u"Raise", {&first});
  const std::string content = testing::TestEnv::ReadFile(LogFile());
  EXPECT_NE(content.find("\t> Echo: \tInData: [(5; 'a\\nb')]\r\n"), std::string::npos) << content;
  EXPECT_NE(content.find(
                "\t< Echo: \tResult=False; OutData: [(1003; 'Команда не поддерживается устройством')]\r\n"),
            std::string::npos)
      << content;
  EXPECT_NE(content.find("\t> Raise: \tParams: [(1)]\r\n"), std::string::npos) << content;
  EXPECT_NE(content.find("\tEXCEPTION: \tнельзя преобразовать\r\n"), std::string::npos) << content;
  EXPECT_NE(content.find("\tEXCEPTION: \tEConvertError: нельзя преобразовать\r\n"), std::string::npos)
      << content;
  EXPECT_EQ(content.find("< Raise"), std::string::npos);
}

TEST_F(DebugLogTest, RefusedCallIsTracedWithEmptyResult) {
  object->SetDebugLogEnabled(true);
  OleVariant inData;
  OleVariant outData;
  testing::CallByRef(*object, u"Echo", {&inData, &outData});
  EXPECT_NE(testing::TestEnv::ReadFile(LogFile()).find("\t< Echo: \tResult=EMPTY; OutData: EMPTY\r\n"),
            std::string::npos);
}

// The token is masked where it stands, as the Token setting's value in a settings table, whatever its
// length; the same text elsewhere (a customer's identifier) and every other setting stay as they came.
TEST_F(DebugLogTest, SecretSettingValuesAreMaskedWhereTheyStand) {
  object->MarkSecretSetting("Token");
  object->AddSetting("Token", dtString, OleVariant::Text(""), false, "Token", "Token");
  object->SetDebugLogEnabled(true);
  const struct {
    const char* name;
    OleVariant token;
    const char* shown;
  } cases[] = {
      {"long", OleVariant::Text("12345678"), "[(('token'; '***')('Host'; 'https://svc'))]; '12345678')"},
      {"short", OleVariant::Text("abc1234"), "[(('token'; '***')('Host'; 'https://svc'))]; 'abc1234')"},
      {"one character", OleVariant::Text("k"), "[(('token'; '***')('Host'; 'https://svc'))]; 'k')"},
      {"a number", OleVariant::Int32(42), "[(('token'; '***')('Host'; 'https://svc'))]; 42)"},
      {"empty", OleVariant::Text(""), "[(('token'; '')('Host'; 'https://svc'))]; '')"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(LogFile());
    auto table = SafeArray::Create2D({0, 2}, {0, 2});
    table->At(0, 0) = OleVariant::Text("token");
    table->At(1, 0) = c.token;
    table->At(0, 1) = OleVariant::Text("Host");
    table->At(1, 1) = OleVariant::Text("https://svc");
    OleVariant hostTable = OleVariant::Array(std::move(table));
    // The identifier equal to the token travels beside the table, as a customer's data would.
    OleVariant inData = OleVariant::Vector({OleVariant::RefVariant(&hostTable), c.token});
    OleVariant outData;
    OleVariant timeOut = OleVariant::Int32(0);
    object->outputToSet = OleVariant::Vector({hostTable});
    testing::CallByRef(*object, u"Echo", {&inData, &outData, &timeOut});
    const std::string content = testing::TestEnv::ReadFile(LogFile());
    EXPECT_NE(content.find(std::string("InData: [(") + c.shown), std::string::npos) << content;
    const std::string shownTable = std::string(c.shown).substr(0, std::string(c.shown).find("]; ") + 1);
    EXPECT_NE(content.find("OutData: [(" + shownTable + ")]"), std::string::npos) << content;
    EXPECT_EQ(VarToStr(hostTable.ArrayValue()->At(1, 0)), VarToStr(c.token))
        << "the host's table was changed";
  }
}

TEST_F(DebugLogTest, UnwritableLogIsReportedThroughDispatchAndTouchesNoArgument) {
  object->SetDebugLogEnabled(true);
  SpoilLog();
  OleVariant inData;
  OleVariant outData = OleVariant::Text("host");
  OleVariant timeOut = OleVariant::Int32(0);
  const auto call = testing::CallByRef(*object, u"Echo", {&inData, &outData, &timeOut});
  EXPECT_EQ(call.hr, hrDispException);
  EXPECT_EQ(call.exception.source, u"EInOutError");
  EXPECT_EQ(call.exception.scode, 1001);
  EXPECT_FALSE(call.exception.description.empty());
  EXPECT_EQ(VarToStr(outData), "host");
  EXPECT_EQ(object->calls, 0);
}

// A method that has run keeps its outcome when the log cannot take the line after it: the host
// gets the method's own result, and the lost line is reported in front of the next one written.
TEST_F(DebugLogTest, ALineLostAfterTheMethodRanLeavesTheOutcomeAndIsReportedNext) {
  const auto spoilLog = [this] { SpoilLog(); };
  object->AddPublicMethod("SpoilPublic", [&](OleVariant&, OleVariant& outData, int32_t, std::string&) {
    spoilLog();
    outData = OleVariant::Text("продано");
    return 0;
  });
  object->AddPrivateMethod("SpoilPrivate", [&](SafeArray& params) {
    spoilLog();
    params.At(1) = OleVariant::Text("продано");
    return OleVariant::Boolean(true);
  });
  for (const char16_t* method : {u"SpoilPublic", u"SpoilPrivate"}) {
    SCOPED_TRACE(Utf16ToUtf8(method));
    object->SetDebugLogEnabled(true);
    OleVariant inData;
    OleVariant outData = OleVariant::Text("host");
    OleVariant timeOut = OleVariant::Int32(0);
    const auto call = testing::CallByRef(*object, method, {&inData, &outData, &timeOut});
    EXPECT_EQ(call.hr, hrOk);
    EXPECT_TRUE(VarToBool(call.result));
    EXPECT_EQ(VarToStr(outData), "продано");

    MendLog();
    object->WriteDebugLog("next", "line");
    const std::string content = testing::TestEnv::ReadFile(LogFile());
    const std::string prefix = std::string("2024.01.31 10:20:30.000 Inst.: ") + kInstance + "\t";
    EXPECT_EQ(content.rfind(prefix + "EXCEPTION: \tEInOutError: ", 0), 0u) << content;
    EXPECT_NE(content.find("Debug_2024.01.31.log"), std::string::npos) << content;
    EXPECT_NE(content.find("; строк журнала не записано: 1\r\n" + prefix + "next: \tline\r\n"),
              std::string::npos)
        << content;
    // Reported once: the next line stands alone.
    object->WriteDebugLog("after", "");
    EXPECT_EQ(testing::TestEnv::ReadFile(LogFile()), content + prefix + "after: \t\r\n");
    object->SetDebugLogEnabled(false);
    std::filesystem::remove(LogFile());
  }
}

}  // namespace
}  // namespace tallowmer
