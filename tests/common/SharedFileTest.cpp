// The POSIX side of the shared log files: a file another writer holds is waited for briefly,
// links are never followed, and appenders sharing a file never split each other's lines.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/Env.h"
#include "tests/support/TestEnv.h"

namespace tallowmer {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

class SharedFileTest : public ::testing::Test {
 protected:
  platform::Env& Platform() { return platform::DefaultEnv(); }

  // Holds the file the way another writer does while it writes a line.
  class Holder {
   public:
    explicit Holder(const std::string& path) : fd_(::open(path.c_str(), O_WRONLY | O_CREAT, 0666)) {
      EXPECT_EQ(::flock(fd_, LOCK_EX), 0);
    }
    ~Holder() { ::close(fd_); }
    void Release() { ::flock(fd_, LOCK_UN); }

   private:
    int fd_;
  };

  testing::TestEnv env;
};

TEST_F(SharedFileTest, AFileHeldForAMomentIsWaitedFor) {
  const std::string file = env.Root() + "Debug.log";
  Holder holder(file);
  std::thread release([&] {
    std::this_thread::sleep_for(milliseconds(60));
    holder.Release();
  });
  const auto start = steady_clock::now();
  const platform::OsResult result = Platform().AppendToSharedFile(file, "line\r\n");
  const auto waited = steady_clock::now() - start;
  release.join();
  EXPECT_TRUE(result.ok) << result.message;
  EXPECT_GE(waited, milliseconds(50));
  EXPECT_EQ(testing::TestEnv::ReadFile(file), "line\r\n");
}

TEST_F(SharedFileTest, AFileHeldLongerFailsAsBusyAfterTheWait) {
  const std::string file = env.Root() + "Debug.log";
  Holder holder(file);
  const auto start = steady_clock::now();
  const platform::OsResult result = Platform().AppendToSharedFile(file, "line\r\n");
  const auto waited = steady_clock::now() - start;
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.message.rfind("Файл занят: " + file, 0), 0u) << result.message;
  EXPECT_GE(waited, platform::kBusyFileWait);
  EXPECT_LT(waited, milliseconds(2000));
  EXPECT_EQ(testing::TestEnv::ReadFile(file), "");
}

TEST_F(SharedFileTest, NeitherWayOfAppendingFollowsALink) {
  const std::string target = env.Root() + "precious.txt";
  std::ofstream(target) << "untouched";
  const std::string link = env.Root() + "Debug.log";
  std::filesystem::create_symlink(target, link);

  const platform::OsResult appended = Platform().AppendToSharedFile(link, "line\r\n");
  EXPECT_FALSE(appended.ok);
  EXPECT_EQ(appended.errorCode, ELOOP);
  EXPECT_NE(appended.message.find(link), std::string::npos);
  platform::OsResult opened;
  EXPECT_EQ(Platform().OpenAppendFile(link, opened), nullptr);
  EXPECT_FALSE(opened.ok);
  EXPECT_EQ(opened.errorCode, ELOOP);
  EXPECT_EQ(testing::TestEnv::ReadFile(target), "untouched");
}

TEST_F(SharedFileTest, AppendersSharingAFileKeepTheirLinesWhole) {
  const std::string file = env.Root() + "http.log";
  platform::OsResult opened;
  const auto first = Platform().OpenAppendFile(file, opened);
  const auto second = Platform().OpenAppendFile(file, opened);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  std::thread other([&] {
    for (int i = 0; i < 2000; ++i) second->Append("second line of the other request\r\n");
  });
  for (int i = 0; i < 2000; ++i) first->Append("first\r\n");
  other.join();
  std::istringstream lines(testing::TestEnv::ReadFile(file));
  int firsts = 0;
  int seconds = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line == "first\r")
      ++firsts;
    else if (line == "second line of the other request\r")
      ++seconds;
    else
      ADD_FAILURE() << "split line: " << line;
  }
  EXPECT_EQ(firsts, 2000);
  EXPECT_EQ(seconds, 2000);
}

TEST_F(SharedFileTest, AFolderOpenedToEveryoneIsStickyAsTmpIs) {
  const std::string folder = env.Root() + "logs";
  std::filesystem::create_directories(folder);
  ASSERT_TRUE(Platform().GrantEveryoneFullAccess(folder).ok);
  struct stat status {};
  ASSERT_EQ(::stat(folder.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 01777u);
  const std::string file = folder + "/Debug.log";
  ASSERT_TRUE(Platform().AppendToSharedFile(file, "line\r\n").ok);
  ASSERT_EQ(::stat(file.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0666u);
}

}  // namespace
}  // namespace tallowmer
