// The POSIX side of the log files: nothing that another user planted or did is written through or
// waited for, only what belongs to the user, to root or to the folder's owner is written to, the
// modes keep the logs to the folder's group, and appenders sharing a file never split each other's
// lines.

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
#include "tests/support/LargestFile.h"
#include "tests/support/TestEnv.h"

namespace tallowmer {
namespace {

using std::chrono::steady_clock;

// Users that this test gives files and folders to: nobody's and another id nobody uses.
constexpr uid_t kOtherUser = 65534;
constexpr gid_t kOtherGroup = 65534;

constexpr platform::LogFileOptions kShared{platform::LogAccess::Shared, true};

platform::Env& Platform() {
  return platform::DefaultEnv();
}

mode_t ModeOf(const std::string& path) {
  struct stat status {};
  EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
  return status.st_mode & 07777;
}

void Give(const std::string& path, uid_t user, gid_t group, mode_t mode) {
  ASSERT_EQ(::lchown(path.c_str(), user, group), 0) << path;
  ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}

// Every plain file below `root` that holds `text`; links are not followed and pipes not opened.
std::vector<std::string> FilesHolding(const std::string& root, const std::string& text) {
  std::vector<std::string> found;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    if (entry.symlink_status().type() != std::filesystem::file_type::regular) continue;
    if (testing::TestEnv::ReadFile(entry.path()).find(text) != std::string::npos)
      found.push_back(entry.path());
  }
  return found;
}

class SharedFileTest : public ::testing::Test {
 protected:
  testing::TestEnv env;
};

// Another user may take a lock on a log that everyone in its group may open: the lock holds up
// nobody, since appending needs none.
TEST_F(SharedFileTest, ALockAnotherProcessHoldsDoesNotHoldUpALine) {
  const std::string file = env.Root() + "Debug.log";
  ASSERT_TRUE(Platform().AppendToLogFile(file, "first\r\n", kShared).ok());
  const int holder = ::open(file.c_str(), O_RDONLY);
  ASSERT_EQ(::flock(holder, LOCK_EX), 0);
  const auto start = steady_clock::now();
  const platform::OsResult result = Platform().AppendToLogFile(file, "second\r\n", kShared);
  const auto waited = steady_clock::now() - start;
  ::close(holder);
  EXPECT_TRUE(result.ok()) << result.message();
  EXPECT_LT(waited, platform::kBusyFileWait);
  EXPECT_EQ(testing::TestEnv::ReadFile(file), "first\r\nsecond\r\n");
}

// What another user may plant in a folder that others may write to, and what a write through it
// would change: each is refused by both ways of appending, before a byte is written or a file is
// created anywhere.
struct Planting {
  const char* name;
  bool needsRoot;  // to give a file to another user
  // Plants under `folder` (which it may replace) and returns the path to append to.
  std::string (*plant)(const std::string& root, const std::string& folder);
};

const Planting kPlantings[] = {
    {"SymbolicLinkToAFile", false,
     [](const std::string& root, const std::string& folder) {
       std::filesystem::create_symlink(root + "precious.txt", folder + "/Debug.log");
       return folder + "/Debug.log";
     }},
    {"SymbolicLinkThatLeadsNowhereYet", false,
     [](const std::string& root, const std::string& folder) {
       std::filesystem::create_symlink(root + "created-by-us.txt", folder + "/Debug.log");
       return folder + "/Debug.log";
     }},
    {"HardLinkToAFile", false,
     [](const std::string& root, const std::string& folder) {
       std::filesystem::create_hard_link(root + "precious.txt", folder + "/Debug.log");
       return folder + "/Debug.log";
     }},
    {"NamedPipe", false,
     [](const std::string&, const std::string& folder) {
       ::mkfifo((folder + "/Debug.log").c_str(), 0666);
       return folder + "/Debug.log";
     }},
    {"FolderUnderTheLogsName", false,
     [](const std::string&, const std::string& folder) {
       std::filesystem::create_directory(folder + "/Debug.log");
       return folder + "/Debug.log";
     }},
    {"FolderSwappedForALinkToAnother", false,
     [](const std::string& root, const std::string& folder) {
       std::filesystem::remove_all(folder);
       std::filesystem::create_directory_symlink(root + "elsewhere", folder);
       return folder + "/Debug.log";
     }},
    {"FileInPlaceOfTheFolder", false,
     [](const std::string&, const std::string& folder) {
       std::filesystem::remove_all(folder);
       std::ofstream(folder) << "untouched";
       return folder + "/Debug.log";
     }},
    {"FileOfAnotherUserThatOthersMayWrite", true,
     [](const std::string&, const std::string& folder) {
       std::ofstream(folder + "/Debug.log") << "untouched";
       Give(folder + "/Debug.log", kOtherUser, kOtherGroup, 0622);
       return folder + "/Debug.log";
     }},
    {"ReadOnlyFileOfAnotherUser", true,
     [](const std::string&, const std::string& folder) {
       std::ofstream(folder + "/Debug.log") << "untouched";
       Give(folder + "/Debug.log", kOtherUser, kOtherGroup, 0444);
       return folder + "/Debug.log";
     }},
    {"FolderOfAnotherUserSharedWithTheUsersGroup", true,
     [](const std::string&, const std::string& folder) {
       Give(folder, kOtherUser, 0, 03770);
       return folder + "/Debug.log";
     }},
    {"FolderRemovedFromOneThatOthersMayChange", false,
     [](const std::string&, const std::string& folder) {
       ::chmod((folder + "/..").c_str(), 0777);
       std::filesystem::remove(folder);
       return folder + "/Debug.log";
     }},
};

class PlantingTest : public SharedFileTest, public ::testing::WithParamInterface<Planting> {};

TEST_P(PlantingTest, NeitherWayOfAppendingGoesThroughIt) {
  if (GetParam().needsRoot && ::geteuid() != 0) GTEST_SKIP() << "giving a file to another user needs root";
  const std::string root = env.Root();
  std::filesystem::create_directories(root + "logs");
  std::filesystem::create_directories(root + "elsewhere");
  std::ofstream(root + "precious.txt") << "untouched";
  const std::string path = GetParam().plant(root, root + "logs");

  const platform::OsResult appended = Platform().AppendToLogFile(path, "line\r\n", kShared);
  EXPECT_FALSE(appended.ok());
  EXPECT_TRUE(appended.refused()) << appended.message();
  platform::OsResult opened;
  EXPECT_EQ(Platform().OpenLogFile(path, kShared, opened), nullptr);
  EXPECT_TRUE(opened.refused()) << opened.message();

  EXPECT_EQ(testing::TestEnv::ReadFile(root + "precious.txt"), "untouched");
  EXPECT_FALSE(std::filesystem::exists(root + "created-by-us.txt"));
  EXPECT_TRUE(std::filesystem::is_empty(root + "elsewhere"));
  EXPECT_EQ(FilesHolding(root, "line"), std::vector<std::string>());
}

INSTANTIATE_TEST_SUITE_P(Planted, PlantingTest, ::testing::ValuesIn(kPlantings),
                         [](const ::testing::TestParamInfo<Planting>& info) { return info.param.name; });

// A link that the user the host runs as made, or the system, is theirs to make: only a link on the
// way that belongs to someone else is refused.
TEST_F(SharedFileTest, AFolderBelowAnotherUsersLinkIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "giving a link to another user needs root";
  std::filesystem::create_directories(env.Root() + "elsewhere/logs");
  const std::string link = env.Root() + "shared";
  std::filesystem::create_directory_symlink(env.Root() + "elsewhere", link);
  EXPECT_TRUE(Platform().AppendToLogFile(link + "/logs/Debug.log", "mine\r\n", kShared).ok());

  ASSERT_EQ(::lchown(link.c_str(), kOtherUser, kOtherGroup), 0);
  const platform::OsResult appended =
      Platform().AppendToLogFile(link + "/logs/Debug.log", "line\r\n", kShared);
  EXPECT_TRUE(appended.refused()) << appended.message();
  EXPECT_NE(appended.message().find(link), std::string::npos) << appended.message();
  EXPECT_EQ(testing::TestEnv::ReadFile(env.Root() + "elsewhere/logs/Debug.log"), "mine\r\n");
}

// Who may own a log that the user writes to, and the folder it is in. The folder's owner can remove
// and replace any file in it, so a file of theirs gives them nothing new; anyone else could read
// what the user writes or change the file's permissions, and a folder of anyone else could be made
// readable by all. As the test runs as root, the user's files and root's are the same here.
struct Ownership {
  const char* name;
  uid_t folderOwner;
  uid_t fileOwner;
  mode_t fileMode;
  bool accepted;
};

const Ownership kOwnerships[] = {
    {"TheUsersFileInTheUsersFolder", 0, 0, 0640, true},
    {"TheUsersFileThatOthersMayWrite", 0, 0, 0666, true},
    {"AnotherUsersFileInTheUsersFolder", 0, kOtherUser, 0640, false},
    {"AnotherUsersFileThatTheUserMayWrite", 0, kOtherUser, 0666, false},
    {"TheFolderOwnersFileInAnotherUsersFolder", kOtherUser, kOtherUser, 0666, false},
    {"TheUsersFileInAnotherUsersFolder", kOtherUser, 0, 0640, false},
};

class OwnershipTest : public SharedFileTest, public ::testing::WithParamInterface<Ownership> {};

TEST_P(OwnershipTest, OnlyALogThatNoStrangerControlsIsWritten) {
  if (::geteuid() != 0) GTEST_SKIP() << "giving files to other users needs root";
  const Ownership& c = GetParam();
  const std::string folder = env.Root() + "logs";
  const std::string file = folder + "/Debug.log";
  std::filesystem::create_directories(folder);
  std::ofstream(file) << "before\r\n";
  Give(file, c.fileOwner, 0, c.fileMode);
  Give(folder, c.folderOwner, 0, 03770);

  const platform::OsResult appended = Platform().AppendToLogFile(file, "line\r\n", kShared);
  platform::OsResult opened;
  const auto held = Platform().OpenLogFile(file, kShared, opened);
  if (c.accepted) {
    EXPECT_TRUE(appended.ok()) << appended.message();
    ASSERT_NE(held, nullptr) << opened.message();
    EXPECT_TRUE(held->Append("held\r\n").ok());
    EXPECT_EQ(testing::TestEnv::ReadFile(file), "before\r\nline\r\nheld\r\n");
  } else {
    EXPECT_TRUE(appended.refused()) << appended.message();
    EXPECT_EQ(held, nullptr);
    EXPECT_TRUE(opened.refused()) << opened.message();
    EXPECT_EQ(testing::TestEnv::ReadFile(file), "before\r\n");
  }
}

INSTANTIATE_TEST_SUITE_P(Owners, OwnershipTest, ::testing::ValuesIn(kOwnerships),
                         [](const ::testing::TestParamInfo<Ownership>& info) { return info.param.name; });

TEST_F(SharedFileTest, ALogGrownBeyondUseIsRefusedAtOnceAndWhileOpen) {
  const std::string file = env.Root() + "Debug.log";
  const std::string held = env.Root() + "http.log";
  ASSERT_TRUE(Platform().AppendToLogFile(file, "first\r\n", kShared).ok());
  platform::OsResult opened;
  const auto open = Platform().OpenLogFile(held, kShared, opened);
  ASSERT_NE(open, nullptr) << opened.message();
  ASSERT_TRUE(open->Append("first\r\n").ok());

  ASSERT_TRUE(testing::GrowToTheLargestSize(file));
  ASSERT_TRUE(testing::GrowToTheLargestSize(held));
  const platform::OsResult appended = Platform().AppendToLogFile(file, "line\r\n", kShared);
  EXPECT_TRUE(appended.refused()) << appended.message();
  const platform::OsResult appendedWhileOpen = open->Append("line\r\n");
  EXPECT_TRUE(appendedWhileOpen.refused()) << appendedWhileOpen.message();
}

// A missing folder is no planted link: it fails as any failing write does.
TEST_F(SharedFileTest, AMissingFolderFailsWithoutBeingARefusal) {
  const platform::OsResult appended =
      Platform().AppendToLogFile(env.Root() + "missing/Debug.log", "line\r\n", kShared);
  EXPECT_FALSE(appended.ok());
  EXPECT_FALSE(appended.refused());
  EXPECT_EQ(appended.errorCode(), ENOENT);
}

TEST_F(SharedFileTest, AppendersSharingAFileKeepTheirLinesWhole) {
  const std::string file = env.Root() + "http.log";
  platform::OsResult opened;
  const auto first = Platform().OpenLogFile(file, kShared, opened);
  const auto second = Platform().OpenLogFile(file, kShared, opened);
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

// A shared log folder is its group's and nobody else's; its logs may be read by the group and
// written by their owner alone, whatever mode an older version gave them.
TEST_F(SharedFileTest, ASharedFolderAndItsLogsAreTheGroupsAlone) {
  const std::string folder = env.Root() + "logs";
  std::filesystem::create_directories(folder);
  ASSERT_EQ(::chmod(folder.c_str(), 01777), 0);
  ASSERT_TRUE(Platform().GrantEveryoneFullAccess(folder).ok());
  EXPECT_EQ(ModeOf(folder), 03770u);
  ASSERT_TRUE(Platform().AppendToLogFile(folder + "/Debug.log", "line\r\n", kShared).ok());
  EXPECT_EQ(ModeOf(folder + "/Debug.log"), 0640u);
  std::ofstream(folder + "/http.log") << "older\r\n";
  ASSERT_EQ(::chmod((folder + "/http.log").c_str(), 0666), 0);
  ASSERT_TRUE(Platform().AppendToLogFile(folder + "/http.log", "line\r\n", kShared).ok());
  EXPECT_EQ(ModeOf(folder + "/http.log"), 0640u);
}

// Below a folder shared with a group, the folders made for logs are shared with it the same way, so
// that the group's members can go on using them; elsewhere only their maker may write to them.
TEST_F(SharedFileTest, FoldersMadeBelowAGroupsFolderAreTheGroups) {
  const std::string shared = env.Root() + "pos";
  std::filesystem::create_directories(shared);
  ASSERT_EQ(::chmod(shared.c_str(), 02770), 0);
  ASSERT_TRUE(Platform().ForceDirectories(shared + "/devices/1").ok());
  EXPECT_EQ(ModeOf(shared + "/devices"), 03770u);
  EXPECT_EQ(ModeOf(shared + "/devices/1"), 03770u);
  ASSERT_TRUE(Platform().ForceDirectories(env.Root() + "plain/devices").ok());
  EXPECT_EQ(ModeOf(env.Root() + "plain/devices"), 0755u);
}

// Making the folders of a log must not make any through another user's link either.
TEST_F(SharedFileTest, NoFolderIsMadeThroughAnotherUsersLink) {
  if (::geteuid() != 0) GTEST_SKIP() << "giving a link to another user needs root";
  std::filesystem::create_directories(env.Root() + "home");
  ASSERT_EQ(::chmod((env.Root() + "home").c_str(), 0700), 0);
  const std::string link = env.Root() + "devices";
  std::filesystem::create_directory_symlink(env.Root() + "home", link);
  ASSERT_EQ(::lchown(link.c_str(), kOtherUser, kOtherGroup), 0);
  EXPECT_TRUE(Platform().ForceDirectories(link + "/1").refused());
  EXPECT_TRUE(Platform().GrantEveryoneFullAccess(link).refused());
  EXPECT_TRUE(std::filesystem::is_empty(env.Root() + "home"));
  EXPECT_EQ(ModeOf(env.Root() + "home"), 0700u);
}

}  // namespace
}  // namespace tallowmer
