// Another local user of the till against a cashier's host, natively: whatever that user does in the
// shared log folder, the cashier's calls succeed, nothing is written into a file of theirs, the
// lines of a refused log go to the cashier's own log (noted once), which nobody else may read; and
// a folder above the log folder swapped while hosts log sends no line out of the shared tree.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <thread>

#include "tests/host/LocalUsers.h"
#include "tests/support/LargestFile.h"
#include "tests/support/Simulator.h"
#include "tests/support/TestEnv.h"
#include "tests/support/TextCount.h"
#include "tools/host/VariantJson.h"

namespace tallowmer {
namespace {

using testing::CountOccurrences;

using testing::LocalUser;
using testing::LocalUsers;
using testing::ShellQuoted;

constexpr const char* kLookup = R"({"call":"GetCustomerData","in":["79001234567",0,0]})";
constexpr const char* kOrder = R"({"call":"CreateOrder","in":[{"$empty":null},"79001234567",0]})";

std::string Today() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  ::localtime_r(&now, &parts);
  char text[16];
  std::strftime(text, sizeof text, "%Y.%m.%d", &parts);
  return text;
}

// What every call line gets: the answers of a host run, each of which must be a success.
std::string FailedAnswers(const std::string& out, size_t expected) {
  std::istringstream lines(out);
  std::string failed;
  size_t answered = 0;
  for (std::string line; std::getline(lines, line); ++answered) {
    const host::Json answer = host::Json::parse(line, nullptr, false);
    if (answer.is_discarded() || answer.value("result", false) != true) failed += line + "\n";
  }
  if (answered != expected)
    failed += std::to_string(answered) + " answers instead of " + std::to_string(expected);
  return failed;
}

// A log as it is, or a word of its size when someone grew it beyond any log's: reading it whole
// would take the test down instead of failing it.
std::string ReadLog(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) == 0 && status.st_size > (64 << 20))
    return "(" + std::to_string(status.st_size) + " bytes)";
  return testing::TestEnv::ReadFile(path);
}

class OtherUserTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string pattern = (std::filesystem::temp_directory_path() / "ls_tallowmer_users_XXXXXX").string();
    suiteFolder = ::mkdtemp(pattern.data());
    ::chmod(suiteFolder.c_str(), 0755);
    users = testing::LocalUsers::Create(suiteFolder, whyNot).release();
    if (users == nullptr) return;
    // The build may lie in a folder that other users cannot enter (root's home, say).
    std::filesystem::create_directories(suiteFolder + "/bin");
    std::filesystem::copy_file(LS_HOST_PATH, suiteFolder + "/bin/ls_tallowmer_host");
    ::chmod((suiteFolder + "/bin/ls_tallowmer_host").c_str(), 0755);
    testing::Simulator::Options options;
    options.plain = true;
    simulator = new testing::Simulator(LS_SIMULATOR_PATH, options);
  }
  static void TearDownTestSuite() {
    delete simulator;
    delete users;
    std::error_code ignored;
    std::filesystem::remove_all(suiteFolder, ignored);
  }

  void SetUp() override {
    if (users == nullptr) GTEST_SKIP() << whyNot;
    ::chmod(env.Root().c_str(), 0755);
    // The till's devices folder, as an administrator shares it: root's, the till's group may create
    // device folders in it, others nothing.
    std::filesystem::create_directories(devices);
    ASSERT_EQ(::chown(devices.c_str(), 0, users->TillGroup()), 0);
    ASSERT_EQ(::chmod(devices.c_str(), 02770), 0);
    std::filesystem::create_directories(others);
    ASSERT_EQ(::chown(others.c_str(), users->Other().uid, users->TillGroup()), 0);
    ASSERT_EQ(::chmod(others.c_str(), 0777), 0);
    std::error_code ignored;
    std::filesystem::remove_all(users->Cashier().home + "/.local", ignored);
    std::filesystem::remove_all(users->Cashier().home + "/data", ignored);
  }

  // The cashier's host selling with the debug log on: one line per call, each a success.
  std::string Sell(const std::vector<std::string>& calls) {
    const std::string script = env.Root() + "script.jsonl";
    {
      std::ofstream lines(script);
      for (const std::string& call : calls) lines << call << "\n";
    }
    ::chmod(script.c_str(), 0644);
    // $HOME is gone and $XDG_STATE_HOME names a folder that the other user made for everyone: the
    // cashier's own log folder must be found in the user database's home all the same.
    const LocalUsers::Run run = users->As(
        users->Cashier(), env.Root(),
        suiteFolder + "/bin/ls_tallowmer_host --devices-folder " + ShellQuoted(devices) +
            " --device-id 1 --set Host=" + simulator->BaseUrl() + " --set Token=" + simulator->Token() +
            " --set DebugLogEnabled=TRUE " + ShellQuoted(script),
        "XDG_STATE_HOME=" + ShellQuoted(others) +
            " XDG_DATA_HOME=" + ShellQuoted(users->Cashier().home + "/data"),
        env.Root() + "host.err");
    const std::string errors = testing::TestEnv::ReadFile(env.Root() + "host.err");
    EXPECT_EQ(run.status, 0) << run.out << errors;
    return run.status == 0 ? FailedAnswers(run.out, calls.size()) : run.out + errors;
  }

  LocalUsers::Run AsOther(const std::string& command) {
    return users->As(users->Other(), folder, command,
                     "D=" + ShellQuoted(debugLog) + " H=" + ShellQuoted(httpLog) +
                         " E=" + ShellQuoted(others) +
                         " MAX=" + std::to_string(testing::LargestFileSize(env.Root())));
  }

  // The plain files below the test's folder that belong to `user`, with what they hold.
  std::map<std::string, std::string> FilesOf(uid_t user) const {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(env.Root())) {
      struct stat status {};
      if (::lstat(entry.path().c_str(), &status) == 0 && status.st_uid == user && S_ISREG(status.st_mode))
        files[entry.path()] = ReadLog(entry.path());
    }
    return files;
  }

  std::string PrivateFolder() const {
    return users->Cashier().home + "/.local/state/Quorvane/ls_tallowmer/logs/";
  }
  static std::string Note(const std::string& log) { return "Журнал " + log + " отклонён: "; }

  static inline std::string suiteFolder;
  static inline LocalUsers* users = nullptr;
  static inline std::string whyNot;
  static inline testing::Simulator* simulator = nullptr;

  testing::TestEnv env;
  const std::string devices = env.Root() + "pos";
  const std::string folder = devices + "/1";
  const std::string others = env.Root() + "others";
  const std::string today = Today();
  const std::string debugLog = folder + "/Debug_" + today + ".log";
  const std::string httpLog = folder + "/http_" + today + ".log";
};

// What the other user does, in the device folder, with $D and $H the paths of today's debug and
// HTTP logs, $E a folder of their own and $MAX the largest size a file may have there.
enum class Outcome {
  // The cashier's lines go to the cashier's own log.
  Diverted,
  // They go to the shared log as if nothing had happened: what the other user tried failed.
  Shared,
  // Diverted when the other user managed to make a second name of the cashier's log (where the
  // kernel's hard-link protection is off), else shared.
  DivertedWhenLinked,
};

struct Act {
  const char* name;
  // The cashier's host has written today's logs before the other user acts.
  bool afterTheCashier;
  const char* command;
  Outcome outcome;
};

const Act kActs[] = {
    {"FoldersUnderTheLogsNames", false, R"(mkdir "$D" "$H")", Outcome::Diverted},
    {"ReadOnlyFilesOfTheirOwn", false,
     R"(printf untouched > "$D" && printf untouched > "$H" && chmod 0444 "$D" "$H")", Outcome::Diverted},
    {"FilesOfTheirOwnThatOthersMayWrite", false,
     R"(printf untouched > "$D" && printf untouched > "$H" && chmod 0622 "$D" "$H")", Outcome::Diverted},
    {"FilesOfTheirOwnThatTheGroupMayWrite", false,
     R"(printf untouched > "$D" && printf untouched > "$H" && chmod 0660 "$D" "$H")", Outcome::Diverted},
    {"NamedPipes", false, R"(mkfifo -m 0666 "$D" "$H")", Outcome::Diverted},
    {"SymbolicLinksToFilesOfTheirOwn", false,
     R"(printf untouched > "$E/d" && printf untouched > "$E/h" && ln -s "$E/d" "$D" && ln -s "$E/h" "$H")",
     Outcome::Diverted},
    {"TheDeviceFolderSwappedForOneOfTheirOwn", false, R"(mv ../1 ../1.moved && mkdir -m 3777 ../1)",
     Outcome::Diverted},
    {"TheDeviceFolderSwappedForALinkToTheirFolder", false, R"(mv ../1 ../1.moved && ln -s "$E" ../1)",
     Outcome::Diverted},
    {"HardLinksToTheCashiersLogs", true, R"(ln "$D" "$E/d"; ln "$H" "$E/h"; true)",
     Outcome::DivertedWhenLinked},
    {"TheCashiersLogsEmptiedAndGrownBeyondUse", true,
     R"(truncate -s 0 "$D"; truncate -s "$MAX" "$H"; : > "$D"; true)", Outcome::Shared},
    {"TheCashiersLogsLockedWhileTheHostSells", true,
     R"(flock -x "$D" flock -x "$H" sh -c 'echo $$ > "$E/locker"; exec sleep 60' > /dev/null 2>&1 &
        while [ ! -s "$E/locker" ]; do sleep 0.05; done)",
     Outcome::Shared},
};

void PrintTo(const Act& act, std::ostream* out) {
  *out << act.name;
}

class OtherUserActTest : public OtherUserTest, public ::testing::WithParamInterface<Act> {};

TEST_P(OtherUserActTest, TheCashiersCallsSucceedAndNothingGoesWhereTheOtherUserCanRead) {
  const Act& act = GetParam();
  // The device folder that the cashier's host made on an earlier day, as it makes them below a folder
  // that the till's group shares.
  ASSERT_EQ(users->As(users->Cashier(), devices, "mkdir -m 3770 1").status, 0);
  if (act.afterTheCashier) {
    ASSERT_EQ(Sell({kLookup}), "");
  }
  const std::string before = ReadLog(debugLog);
  const size_t exchangesBefore = CountOccurrences(ReadLog(httpLog), "Stat Connected.\r\n");
  AsOther(act.command);
  const std::map<std::string, std::string> theirs = FilesOf(users->Other().uid);
  struct stat status {};
  const bool linked =
      ::lstat(debugLog.c_str(), &status) == 0 && S_ISREG(status.st_mode) && status.st_nlink > 1;
  const bool diverted =
      act.outcome == Outcome::Diverted || (act.outcome == Outcome::DivertedWhenLinked && linked);

  EXPECT_EQ(Sell({kLookup, kOrder}), "");
  // A process that the other user left holding something: the test's own, to end.
  if (const std::string locker = testing::TestEnv::ReadFile(others + "/locker"); !locker.empty())
    ::kill(std::stoi(locker), SIGTERM);

  // Nothing of the other user's took a line of the cashier's.
  EXPECT_EQ(FilesOf(users->Other().uid), theirs);
  const std::string privateDebug = ReadLog(PrivateFolder() + "Debug_" + today + ".log");
  const std::string privateHttp = ReadLog(PrivateFolder() + "http_" + today + ".log");
  if (diverted) {
    EXPECT_EQ(CountOccurrences(privateDebug, "\t> GetCustomerData: \t"), 1u) << privateDebug;
    EXPECT_EQ(CountOccurrences(privateDebug, "\t< CreateOrder: \tResult=True"), 1u) << privateDebug;
    EXPECT_EQ(CountOccurrences(privateDebug, Note(debugLog)), 1u) << privateDebug;
    EXPECT_EQ(CountOccurrences(privateHttp, "Stat Connected.\r\n"), 2u) << privateHttp;
    EXPECT_EQ(CountOccurrences(privateHttp, Note(httpLog)), 1u) << privateHttp;
    // The cashier's own folder and logs are the cashier's alone.
    for (const std::string& path : {PrivateFolder(), PrivateFolder() + "Debug_" + today + ".log"}) {
      ASSERT_EQ(::stat(path.c_str(), &status), 0) << path;
      EXPECT_EQ(status.st_mode & 0777, S_ISDIR(status.st_mode) ? 0700u : 0600u) << path;
    }
    EXPECT_NE(
        AsOther("cat " + ShellQuoted(PrivateFolder() + "Debug_" + today + ".log") + " 2> /dev/null").status,
        0);
  } else {
    const std::string shared = ReadLog(debugLog);
    EXPECT_EQ(shared.rfind(before, 0), 0u) << "the earlier lines are gone:\n" << shared;
    EXPECT_EQ(CountOccurrences(shared, "\t> GetCustomerData: \t"), 2u) << shared;
    EXPECT_EQ(CountOccurrences(shared, "\t< CreateOrder: \tResult=True"), 1u) << shared;
    EXPECT_EQ(CountOccurrences(ReadLog(httpLog), "Stat Connected.\r\n"), exchangesBefore + 2);
    EXPECT_EQ(privateDebug + privateHttp, "");
  }
}

INSTANTIATE_TEST_SUITE_P(Acts, OtherUserActTest, ::testing::ValuesIn(kActs),
                         [](const ::testing::TestParamInfo<Act>& info) { return info.param.name; });

// The other user swaps the devices folder above the cashier's device folder for a link to a folder
// of the cashier's home, back and forth as fast as the system lets him, while several of the
// cashier's hosts log. Each line goes to the shared tree or to the cashier's own log, never into the
// folder the link leads to.
TEST_F(OtherUserTest, AFolderAboveTheLogSwappedWhileHostsLogSendsNoLineOutOfTheSharedTree) {
  constexpr int kHosts = 8;
  constexpr int kLookups = 40;
  const std::string shared = env.Root() + "pos/devices";
  const std::string secret = users->Cashier().home + "/secret";
  ASSERT_EQ(users
                ->As(users->Cashier(), devices,
                     "mkdir -m 3770 devices && mkdir -p -m 0700 " + ShellQuoted(secret + "/1"))
                .status,
            0);
  ASSERT_EQ(users->As(users->Other(), devices, "ln -s " + ShellQuoted(secret) + " decoy").status, 0);

  const pid_t swapper = ::fork();
  if (swapper == 0) {
    const gid_t group = users->TillGroup();
    if (::setgroups(1, &group) != 0 || ::setresgid(group, group, group) != 0 ||
        ::setresuid(users->Other().uid, users->Other().uid, users->Other().uid) != 0)
      ::_exit(2);
    const std::string decoy = devices + "/decoy";
    for (;;) ::renameat2(AT_FDCWD, shared.c_str(), AT_FDCWD, decoy.c_str(), RENAME_EXCHANGE);
  }
  ASSERT_GT(swapper, 0);

  std::vector<std::string> calls(kLookups, kLookup);
  std::vector<std::thread> hosts;
  std::vector<std::string> failures(kHosts);
  const std::string script = env.Root() + "race.jsonl";
  {
    std::ofstream lines(script);
    for (const std::string& call : calls) lines << call << "\n";
  }
  ::chmod(script.c_str(), 0644);
  for (int i = 0; i < kHosts; ++i) {
    hosts.emplace_back([&, i] {
      const LocalUsers::Run run = users->As(
          users->Cashier(), env.Root(),
          suiteFolder + "/bin/ls_tallowmer_host --devices-folder " + ShellQuoted(shared) +
              " --device-id 1 --set Host=" + simulator->BaseUrl() + " --set Token=" + simulator->Token() +
              " --set DebugLogEnabled=TRUE " + ShellQuoted(script),
          "XDG_DATA_HOME=" + ShellQuoted(users->Cashier().home + "/data"), "/dev/null");
      failures[static_cast<size_t>(i)] = run.status == 0 ? FailedAnswers(run.out, kLookups) : run.out;
    });
  }
  for (std::thread& host : hosts) host.join();
  ::kill(swapper, SIGKILL);
  int swapperStatus = 0;
  ::waitpid(swapper, &swapperStatus, 0);
  ASSERT_TRUE(WIFSIGNALED(swapperStatus)) << "the other user could not swap the folders";
  for (const std::string& failure : failures) EXPECT_EQ(failure, "");

  const auto linesIn = [](const std::string& root, const std::string& what) {
    size_t lines = 0;
    if (!std::filesystem::exists(root)) return lines;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
      if (entry.symlink_status().type() == std::filesystem::file_type::regular)
        lines += CountOccurrences(ReadLog(entry.path()), what);
    }
    return lines;
  };
  const std::string call = "\t> GetCustomerData: \t";
  const size_t inSharedTree = linesIn(devices, call);
  const size_t diverted = linesIn(PrivateFolder(), call);
  // Before the first host has made the device folder, the debug log goes to the default folder in the
  // cashier's own data folder.
  const size_t inDefaultFolder = linesIn(users->Cashier().home + "/data", call);
  const size_t outside = linesIn(secret, call);
  const std::string exchange = "Stat Connected.";
  const size_t exchangesOutside = linesIn(secret, exchange);
  std::cout << "calls: " << kHosts * kLookups << ", traced in the shared tree: " << inSharedTree
            << ", in the cashier's own log: " << diverted << ", in the default folder: " << inDefaultFolder
            << ", in the folder the link leads to: " << outside
            << "; HTTP exchanges in the shared tree: " << linesIn(devices, exchange)
            << ", in the cashier's own log: " << linesIn(PrivateFolder(), exchange)
            << ", in the folder the link leads to: " << exchangesOutside << "\n";
  RecordProperty("shared", static_cast<int>(inSharedTree));
  RecordProperty("diverted", static_cast<int>(diverted));
  RecordProperty("default", static_cast<int>(inDefaultFolder));
  RecordProperty("outside", static_cast<int>(outside));
  EXPECT_EQ(outside, 0u);
  EXPECT_EQ(exchangesOutside, 0u);
  EXPECT_EQ(inSharedTree + diverted + inDefaultFolder, static_cast<size_t>(kHosts * kLookups));
}

}  // namespace
}  // namespace tallowmer
