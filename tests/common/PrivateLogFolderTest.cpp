// The POSIX side of the user's own log folder: where it is, that it and its files are the user's
// alone, and that no folder on the way to it can be changed by anyone else.

#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

#include "platform/Env.h"
#include "tests/support/TestEnv.h"

namespace tallowmer {
namespace {

constexpr uid_t kOtherUser = 65534;
constexpr gid_t kOtherGroup = 65534;
constexpr platform::LogFileOptions kPrivate{platform::LogAccess::OwnerOnly, true};

platform::Env& Platform() {
  return platform::DefaultEnv();
}

mode_t ModeOf(const std::string& path) {
  struct stat status {};
  EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
  return status.st_mode & 07777;
}

// An environment variable set (or removed) for the life of the object.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value != nullptr) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedVariable() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

std::string UserDatabaseHome() {
  const passwd* entry = ::getpwuid(::geteuid());
  return entry != nullptr ? entry->pw_dir : "";
}

class PrivateLogFolderTest : public ::testing::Test {
 protected:
  std::string UserStateFolder() { return Platform().SpecialFolderPath(platform::kFolderUserLocalAppData); }

  testing::TestEnv env;
};

TEST_F(PrivateLogFolderTest, TheFolderAndItsLogsAreTheUsersAlone) {
  const std::string folder = env.Root() + "state/Quorvane/ls_tallowmer/logs";
  ASSERT_TRUE(Platform().ForcePrivateDirectories(folder + "/").ok());
  EXPECT_EQ(ModeOf(env.Root() + "state"), 0700u);
  EXPECT_EQ(ModeOf(folder), 0700u);
  ASSERT_TRUE(Platform().AppendToLogFile(folder + "/Debug.log", "line\r\n", kPrivate).ok());
  EXPECT_EQ(ModeOf(folder + "/Debug.log"), 0600u);

  // What an older version made readable by everyone is narrowed, never widened.
  ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
  ASSERT_EQ(::chmod((folder + "/Debug.log").c_str(), 0666), 0);
  ASSERT_TRUE(Platform().ForcePrivateDirectories(folder).ok());
  EXPECT_EQ(ModeOf(folder), 0700u);
  ASSERT_TRUE(Platform().AppendToLogFile(folder + "/Debug.log", "line\r\n", kPrivate).ok());
  EXPECT_EQ(ModeOf(folder + "/Debug.log"), 0600u);
}

// A folder on the way to the user's own logs, and what makes it one the user cannot count on:
// someone else may write to it (and so swap the folder below it), or it is someone else's.
struct OnTheWay {
  const char* name;
  bool needsRoot;
  bool usable;
  // Prepares `folder`, below which the private folder is to be made; returns the path to make.
  std::string (*prepare)(const std::string& root, const std::string& folder);
};

const OnTheWay kOnTheWay[] = {
    {"AFolderOnlyTheUserMayWriteTo", false, true,
     [](const std::string&, const std::string& folder) {
       ::chmod(folder.c_str(), 0755);
       return folder + "/logs";
     }},
    {"AFolderEveryoneMayWriteTo", false, false,
     [](const std::string&, const std::string& folder) {
       ::chmod(folder.c_str(), 0777);
       return folder + "/logs";
     }},
    {"AFolderTheGroupMayWriteTo", false, false,
     [](const std::string&, const std::string& folder) {
       ::chmod(folder.c_str(), 0770);
       return folder + "/logs";
     }},
    {"AStickyFolderAsTmp", false, true,
     [](const std::string&, const std::string& folder) {
       ::chmod(folder.c_str(), 01777);
       return folder + "/logs";
     }},
    {"ALinkOfTheUsers", false, true,
     [](const std::string& root, const std::string& folder) {
       std::filesystem::create_directory_symlink(folder, root + "link");
       return root + "link/logs";
     }},
    {"AFolderOfAnotherUser", true, false,
     [](const std::string&, const std::string& folder) {
       ::chown(folder.c_str(), kOtherUser, kOtherGroup);
       ::chmod(folder.c_str(), 0755);
       return folder + "/logs";
     }},
    {"ALinkOfAnotherUser", true, false,
     [](const std::string& root, const std::string& folder) {
       std::filesystem::create_directory_symlink(folder, root + "link");
       ::lchown((root + "link").c_str(), kOtherUser, kOtherGroup);
       return root + "link/logs";
     }},
};

class OnTheWayTest : public PrivateLogFolderTest, public ::testing::WithParamInterface<OnTheWay> {};

TEST_P(OnTheWayTest, ThePrivateFolderIsMadeOnlyWhereNobodyElseCanChangeIt) {
  if (GetParam().needsRoot && ::geteuid() != 0) GTEST_SKIP() << "giving a folder to another user needs root";
  const std::string folder = env.Root() + "state";
  std::filesystem::create_directories(folder);
  const std::string path = GetParam().prepare(env.Root(), folder);
  const platform::OsResult made = Platform().ForcePrivateDirectories(path);
  if (GetParam().usable) {
    EXPECT_TRUE(made.ok()) << made.message();
    EXPECT_EQ(ModeOf(folder + "/logs"), 0700u);
  } else {
    EXPECT_FALSE(made.ok());
    EXPECT_NE(made.message().find("Личная папка журналов " + path), std::string::npos) << made.message();
    EXPECT_FALSE(std::filesystem::exists(folder + "/logs"));
  }
}

INSTANTIATE_TEST_SUITE_P(Folders, OnTheWayTest, ::testing::ValuesIn(kOnTheWay),
                         [](const ::testing::TestParamInfo<OnTheWay>& info) { return info.param.name; });

// Under LS_TALLOWMER_DATA_DIR, which tests and manual runs share, each user id has a folder of its own.
TEST_F(PrivateLogFolderTest, UnderTheDataFolderEachUserHasAFolderOfTheirOwn) {
  const ScopedVariable data("LS_TALLOWMER_DATA_DIR", (env.Root() + "data").c_str());
  EXPECT_EQ(UserStateFolder(), env.Root() + "data/user/" + std::to_string(::geteuid()));
}

// $XDG_STATE_HOME is the user's choice only when it is an absolute path through folders that nobody
// else can change; else the home comes from the user database, whatever $HOME says: never /tmp,
// where the first user to come would make the folder for everyone.
enum class StateVariable { Unset, Relative, OwnFolder, BelowAFolderEveryoneMayWriteTo };

struct StateHome {
  const char* name;
  const char* home;  // $HOME, null for none
  StateVariable xdg;
  bool xdgUsed;
};

const StateHome kStateHomes[] = {
    {"TheUsersOwnStateFolder", "/nonexistent", StateVariable::OwnFolder, true},
    {"ARelativeStateFolder", "/nonexistent", StateVariable::Relative, false},
    {"AStateFolderBelowOneThatEveryoneMayWriteTo", "/nonexistent",
     StateVariable::BelowAFolderEveryoneMayWriteTo, false},
    {"NoStateFolderAndNoHomeVariable", nullptr, StateVariable::Unset, false},
};

class StateHomeTest : public PrivateLogFolderTest, public ::testing::WithParamInterface<StateHome> {
 protected:
  std::string StateFolder() {
    switch (GetParam().xdg) {
      case StateVariable::Unset:
        return {};
      case StateVariable::Relative:
        return "relative/state";
      case StateVariable::OwnFolder:
        return env.Root() + "state";
      case StateVariable::BelowAFolderEveryoneMayWriteTo:
        std::filesystem::create_directories(env.Root() + "open");
        ::chmod((env.Root() + "open").c_str(), 0777);
        return env.Root() + "open/state";
    }
    return {};
  }
};

TEST_P(StateHomeTest, TheStateFolderIsTheUsersOwn) {
  const std::string xdg = StateFolder();
  const ScopedVariable data("LS_TALLOWMER_DATA_DIR", nullptr);
  const ScopedVariable home("HOME", GetParam().home);
  const ScopedVariable state("XDG_STATE_HOME", xdg.empty() ? nullptr : xdg.c_str());
  if (GetParam().xdgUsed) {
    EXPECT_EQ(UserStateFolder(), xdg);
  } else {
    ASSERT_FALSE(UserDatabaseHome().empty());
    EXPECT_EQ(UserStateFolder(), UserDatabaseHome() + "/.local/state");
  }
}

INSTANTIATE_TEST_SUITE_P(StateHomes, StateHomeTest, ::testing::ValuesIn(kStateHomes),
                         [](const ::testing::TestParamInfo<StateHome>& info) { return info.param.name; });

}  // namespace
}  // namespace tallowmer
