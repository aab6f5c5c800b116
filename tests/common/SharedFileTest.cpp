// The POSIX side of the shared log files: a file another writer holds is waited for briefly,
// nothing another user planted is written through, and appenders sharing a file never split each
// other's lines.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
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
  EXPECT_TRUE(result.ok()) << result.message();
  EXPECT_GE(waited, milliseconds(50));
  EXPECT_EQ(testing::TestEnv::ReadFile(file), "line\r\n");
}

TEST_F(SharedFileTest, AFileHeldLongerFailsAsBusyAfterTheWait) {
  const std::string file = env.Root() + "Debug.log";
  Holder holder(file);
  const auto start = steady_clock::now();
  const platform::OsResult result = Platform().AppendToSharedFile(file, "line\r\n");
  const auto waited = steady_clock::now() - start;
  EXPECT_FALSE(result.ok());
  EXPECT_EQ(result.message().rfind("Файл занят: " + file, 0), 0u) << result.message();
  EXPECT_GE(waited, platform::kBusyFileWait);
  EXPECT_LT(waited, milliseconds(2000));
  EXPECT_EQ(testing::TestEnv::ReadFile(file), "");
}

// What another user may plant in a folder that everyone writes to, and what a write through it
// would change: each is refused by both ways of appending, before a byte is written or a file is
// created anywhere.
struct Planting {
  const char* name;
  // Plants under `folder` (which it may replace) and returns the path to append to.
  std::string (*plant)(const std::string& root, const std::string& folder);
};

const Planting kPlantings[] = {
    {"a symbolic link to a file",
     [](const std::string& root, const std::string& folder) {
       std::filesystem::create_symlink(root + "precious.txt", folder + "/Debug.log");
       return folder + "/Debug.log";
     }},
    {"a symbolic link that leads nowhere yet",
     [](const std::string& root, const std::string& folder) {
       std::filesystem::create_symlink(root + "created-by-us.txt", folder + "/Debug.log");
       return folder + "/Debug.log";
     }},
    {"a hard link to a file",
     [](const std::string& root, const std::string& folder) {
       std::filesystem::create_hard_link(root + "precious.txt", folder + "/Debug.log");
       return folder + "/Debug.log";
     }},
    {"a named pipe",
     [](const std::string&, const std::string& folder) {
       ::mkfifo((folder + "/Debug.log").c_str(), 0666);
       return folder + "/Debug.log";
     }},
    {"a folder swapped for a link to another",
     [](const std::string& root, const std::string& folder) {
       std::filesystem::remove_all(folder);
       std::filesystem::create_directory_symlink(root + "elsewhere", folder);
       return folder + "/Debug.log";
     }},
};

TEST_F(SharedFileTest, NeitherWayOfAppendingGoesThroughWhatAnotherUserPlanted) {
  for (const Planting& planting : kPlantings) {
    SCOPED_TRACE(planting.name);
    const std::string root = env.Root() + std::to_string(&planting - kPlantings) + "/";
    std::filesystem::create_directories(root + "logs");
    std::filesystem::create_directories(root + "elsewhere");
    std::ofstream(root + "precious.txt") << "untouched";
    const std::string path = planting.plant(root, root + "logs");

    const platform::OsResult appended = Platform().AppendToSharedFile(path, "line\r\n");
    EXPECT_FALSE(appended.ok());
    EXPECT_TRUE(appended.refused()) << appended.message();
    EXPECT_NE(appended.message().find(root + "logs"), std::string::npos) << appended.message();
    platform::OsResult opened;
    EXPECT_EQ(Platform().OpenAppendFile(path, opened), nullptr);
    EXPECT_TRUE(opened.refused()) << opened.message();

    EXPECT_EQ(testing::TestEnv::ReadFile(root + "precious.txt"), "untouched");
    EXPECT_FALSE(std::filesystem::exists(root + "created-by-us.txt"));
    EXPECT_TRUE(std::filesystem::is_empty(root + "elsewhere"));
  }
}

// A link that the user the host runs as made, or the system, is theirs to make: only a link on the
// way that belongs to someone else is refused.
TEST_F(SharedFileTest, AFolderBelowAnotherUsersLinkIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "giving a link to another user needs root";
  std::filesystem::create_directories(env.Root() + "elsewhere/logs");
  const std::string link = env.Root() + "shared";
  std::filesystem::create_directory_symlink(env.Root() + "elsewhere", link);
  EXPECT_TRUE(Platform().AppendToSharedFile(link + "/logs/Debug.log", "mine\r\n").ok());

  ASSERT_EQ(::lchown(link.c_str(), 65534, 65534), 0);
  const platform::OsResult appended = Platform().AppendToSharedFile(link + "/logs/Debug.log", "line\r\n");
  EXPECT_TRUE(appended.refused()) << appended.message();
  EXPECT_NE(appended.message().find(link), std::string::npos) << appended.message();
  EXPECT_EQ(testing::TestEnv::ReadFile(env.Root() + "elsewhere/logs/Debug.log"), "mine\r\n");
}

// A missing folder is no planted link: it fails as any failing write does.
TEST_F(SharedFileTest, AMissingFolderFailsWithoutBeingARefusal) {
  const platform::OsResult appended =
      Platform().AppendToSharedFile(env.Root() + "missing/Debug.log", "line\r\n");
  EXPECT_FALSE(appended.ok());
  EXPECT_FALSE(appended.refused());
  EXPECT_EQ(appended.errorCode(), ENOENT);
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
  ASSERT_TRUE(Platform().GrantEveryoneFullAccess(folder).ok());
  struct stat status {};
  ASSERT_EQ(::stat(folder.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 01777u);
  const std::string file = folder + "/Debug.log";
  ASSERT_TRUE(Platform().AppendToSharedFile(file, "line\r\n").ok());
  ASSERT_EQ(::stat(file.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0666u);
}

}  // namespace
}  // namespace tallowmer
