// A shared log refused for what another user planted or did: the lines go to the user's own log
// folder, the refusal is noted there once and in the shared log once it takes lines again, and the
// call fails only when the user's own log cannot take the lines either.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "common/Exceptions.h"
#include "common/SharedLog.h"
#include "tests/support/LargestFile.h"
#include "tests/support/TestEnv.h"
#include "tests/support/TextCount.h"

namespace tallowmer {
namespace {

using testing::CountOccurrences;

std::string Note(const std::string& note) {
  return "NOTE " + note + "\n";
}

// Holds the first writer of a log at the door of the file until a second writer has come to it too,
// so that two threads race for the log as a host's two threads may.
class RacingEnv final : public testing::TestEnv {
 public:
  // Empty: nobody is held.
  void HoldTheFirstWriterOf(const std::string& path) {
    const std::lock_guard lock(guard_);
    heldPath_ = path;
    writers_ = 0;
  }
  platform::OsResult AppendToLogFile(const std::string& path, std::string_view text,
                                     platform::LogFileOptions options) override {
    Arrive(path);
    return TestEnv::AppendToLogFile(path, text, options);
  }
  std::unique_ptr<platform::AppendFile> OpenLogFile(const std::string& path, platform::LogFileOptions options,
                                                    platform::OsResult& failure) override {
    Arrive(path);
    return TestEnv::OpenLogFile(path, options, failure);
  }
  void WaitForTheFirstWriter() {
    std::unique_lock lock(guard_);
    arrived_.wait(lock, [this] { return writers_ > 0; });
  }

 private:
  void Arrive(const std::string& path) {
    std::unique_lock lock(guard_);
    if (path != heldPath_) return;
    const int writer = ++writers_;
    arrived_.notify_all();
    // A bound, not a pace: the second writer comes at once unless something else holds it.
    if (writer == 1) arrived_.wait_for(lock, std::chrono::seconds(10), [this] { return writers_ > 1; });
  }

  std::mutex guard_;
  std::condition_variable arrived_;
  std::string heldPath_;
  int writers_ = 0;
};

class SharedLogTest : public ::testing::Test {
 protected:
  void Plant() {
    std::filesystem::remove_all(env.Root());
    std::filesystem::create_directories(folder);
    std::ofstream(victim) << "untouched";
    std::filesystem::create_symlink(victim, log);
  }

  // Both ways of writing a line: appended at once, or through a file opened for a while.
  void Write(bool throughOpenFile, const std::string& line) {
    if (!throughOpenFile) {
      const platform::OsResult written = AppendToSharedLog(log, line, Note);
      ASSERT_TRUE(written.ok()) << written.message();
      return;
    }
    platform::OsResult failure;
    const auto file = OpenSharedLog(log, Note, failure);
    ASSERT_NE(file, nullptr) << failure.message();
    ASSERT_TRUE(file->Append(line).ok());
  }

  RacingEnv env;
  const std::string folder = env.Root() + "shared/";
  const std::string log = folder + "Debug_2024.01.31.log";
  const std::string victim = env.Root() + "precious.txt";
  const std::string privateLog = env.Root() + "user/Quorvane/ls_tallowmer/logs/Debug_2024.01.31.log";
  const std::string note = "Журнал " + log + " отклонён: ";
};

TEST_F(SharedLogTest, ARefusedLogGoesToThePrivateFolderAndIsNotedOnceInEach) {
  for (const bool throughOpenFile : {false, true}) {
    SCOPED_TRACE(throughOpenFile ? "opened for a while" : "appended at once");
    Plant();
    Write(throughOpenFile, "one\n");
    Write(throughOpenFile, "two\n");
    EXPECT_EQ(testing::TestEnv::ReadFile(victim), "untouched");
    const std::string diverted = testing::TestEnv::ReadFile(privateLog);
    EXPECT_EQ(diverted.rfind("NOTE " + note, 0), 0u) << diverted;
    EXPECT_NE(diverted.find(privateLog), std::string::npos) << diverted;
    EXPECT_EQ(CountOccurrences(diverted, note), 1u) << diverted;
    EXPECT_EQ(diverted.substr(diverted.size() - 8), "one\ntwo\n");

    std::filesystem::remove(log);
    Write(throughOpenFile, "three\n");
    Write(throughOpenFile, "four\n");
    const std::string shared = testing::TestEnv::ReadFile(log);
    EXPECT_EQ(shared.rfind("NOTE " + note, 0), 0u) << shared;
    EXPECT_EQ(CountOccurrences(shared, note), 1u) << shared;
    EXPECT_EQ(shared.substr(shared.size() - 11), "three\nfour\n");
  }
}

// Two threads write to a log that owes a note: one of them writes the note, once.
TEST_F(SharedLogTest, AnOwedNoteGoesIntoTheLogOnceWhenTwoThreadsWriteToIt) {
  for (const bool throughOpenFile : {false, true}) {
    SCOPED_TRACE(throughOpenFile ? "opened for a while" : "appended at once");
    Plant();
    Write(throughOpenFile, "refused\n");
    std::filesystem::remove(log);
    env.HoldTheFirstWriterOf(log);
    std::thread first([&] { Write(throughOpenFile, "first\n"); });
    env.WaitForTheFirstWriter();
    std::thread second([&] { Write(throughOpenFile, "second\n"); });
    first.join();
    second.join();
    env.HoldTheFirstWriterOf("");
    const std::string shared = testing::TestEnv::ReadFile(log);
    EXPECT_EQ(CountOccurrences(shared, note), 1u) << shared;
    EXPECT_EQ(CountOccurrences(shared, "first\n") + CountOccurrences(shared, "second\n"), 2u) << shared;
  }
}

// The user's own log folder and the diverted lines in it are the user's alone.
TEST_F(SharedLogTest, TheDivertedLinesAreTheUsersAlone) {
  Plant();
  Write(false, "one\n");
  struct stat status {};
  ASSERT_EQ(::stat(privateLog.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(std::filesystem::path(privateLog).parent_path().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0700u);
}

// Another user may grow the file that a request holds open to the largest size allowed between two
// of its lines: the rest of the request's lines go to the user's own log, noted once.
TEST_F(SharedLogTest, ALogRefusedWhileHeldOpenGoesOnInThePrivateLog) {
  Plant();
  std::filesystem::remove(log);
  platform::OsResult failure;
  const auto file = OpenSharedLog(log, Note, failure);
  ASSERT_NE(file, nullptr) << failure.message();
  ASSERT_TRUE(file->Append("one\n").ok());
  ASSERT_TRUE(testing::GrowToTheLargestSize(log));
  EXPECT_TRUE(file->Append("two\n").ok());
  EXPECT_TRUE(file->Append("three\n").ok());
  const std::string diverted = testing::TestEnv::ReadFile(privateLog);
  EXPECT_EQ(diverted.rfind("NOTE " + note, 0), 0u) << diverted;
  EXPECT_EQ(CountOccurrences(diverted, note), 1u) << diverted;
  EXPECT_TRUE(diverted.ends_with("two\nthree\n")) << diverted;
}

// A refused log whose lines the user's own folder cannot take either fails, naming both reasons,
// and owes the shared log no note: nothing was diverted.
TEST_F(SharedLogTest, WithoutThePrivateLogTheRefusalFailsWithBothReasons) {
  Plant();
  std::filesystem::create_directories(privateLog);
  const platform::OsResult written = AppendToSharedLog(log, "one\n", Note);
  EXPECT_FALSE(written.ok());
  EXPECT_FALSE(written.refused());
  EXPECT_NE(written.message().find(note), std::string::npos) << written.message();
  EXPECT_NE(written.message().find(privateLog), std::string::npos) << written.message();
  std::filesystem::remove(log);
  ASSERT_TRUE(AppendToSharedLog(log, "two\n", Note).ok());
  EXPECT_EQ(testing::TestEnv::ReadFile(log), "two\n");

  // A private folder that others may change is no private folder: the call fails, saying why.
  std::filesystem::remove_all(env.Root() + "user/Quorvane");
  ASSERT_EQ(::chmod((env.Root() + "user").c_str(), 0777), 0);
  std::filesystem::remove(log);
  std::filesystem::create_symlink(victim, log);
  try {
    AppendToSharedLog(log, "three\n", Note);
    ADD_FAILURE() << "a private folder that others may change was used";
  } catch (const EOSError& error) {
    EXPECT_NE(error.Message().find("могут писать другие пользователи"), std::string::npos) << error.Message();
  }
  EXPECT_EQ(testing::TestEnv::ReadFile(victim), "untouched");
}

TEST_F(SharedLogTest, AFailureToWriteIsNoRefusalAndStillFails) {
  Plant();
  const std::string missing = env.Root() + "missing/Debug_2024.01.31.log";
  const platform::OsResult written = AppendToSharedLog(missing, "line\n", Note);
  EXPECT_FALSE(written.ok());
  EXPECT_FALSE(written.refused());
  platform::OsResult failure;
  EXPECT_EQ(OpenSharedLog(missing, Note, failure), nullptr);
  EXPECT_FALSE(failure.ok());
  EXPECT_FALSE(std::filesystem::exists(privateLog));
}

}  // namespace
}  // namespace tallowmer
