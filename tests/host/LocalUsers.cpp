#include "tests/host/LocalUsers.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/ShellCommand.h"

namespace tallowmer::testing {
namespace {

bool Succeeds(const std::string& command) {
  return RunShellCommand(command + " >/dev/null 2>&1").status == 0;
}

bool MakeUser(const std::string& name, const std::string& group, const std::string& homes, LocalUser& user) {
  user.name = name;
  user.home = homes + "/" + name;
  if (!Succeeds("useradd --no-create-home --home-dir " + ShellQuoted(user.home) + " --gid " + group +
                " --shell /bin/sh " + name)) {
    return false;
  }
  const passwd* entry = ::getpwnam(name.c_str());
  if (entry == nullptr) return false;
  user.uid = entry->pw_uid;
  std::filesystem::create_directories(user.home);
  return ::chown(user.home.c_str(), user.uid, static_cast<gid_t>(-1)) == 0 &&
         ::chmod(user.home.c_str(), 0755) == 0;
}

}  // namespace

std::string ShellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::unique_ptr<LocalUsers> LocalUsers::Create(const std::string& folder, std::string& whyNot) {
  if (::geteuid() != 0) {
    whyNot = "making a second local user needs root";
    return nullptr;
  }
  if (!Succeeds("command -v useradd && command -v groupadd && command -v setpriv")) {
    whyNot = "useradd, groupadd or setpriv is missing";
    return nullptr;
  }
  std::unique_ptr<LocalUsers> users(new LocalUsers);
  users->suffix_ = std::to_string(::getpid());
  users->groupName_ = "lsttill" + users->suffix_;
  const std::string homes = folder + "/home";
  std::filesystem::create_directories(homes);
  if (!Succeeds("groupadd " + users->groupName_) ||
      !MakeUser("lstcash" + users->suffix_, users->groupName_, homes, users->cashier_) ||
      !MakeUser("lstother" + users->suffix_, users->groupName_, homes, users->other_)) {
    whyNot = "the users could not be made";
    return nullptr;
  }
  const group* till = ::getgrnam(users->groupName_.c_str());
  if (till == nullptr) {
    whyNot = "the till's group could not be made";
    return nullptr;
  }
  users->group_ = till->gr_gid;
  return users;
}

LocalUsers::~LocalUsers() {
  for (const LocalUser* user : {&cashier_, &other_}) {
    if (!user->name.empty()) Succeeds("userdel " + user->name);
  }
  if (!groupName_.empty()) Succeeds("groupdel " + groupName_);
}

LocalUsers::Run LocalUsers::As(const LocalUser& user, const std::string& folder, const std::string& command,
                               const std::string& variables, const std::string& errorFile) const {
  const CommandRun run =
      RunShellCommand("cd " + ShellQuoted(folder) + " && setpriv --reuid=" + std::to_string(user.uid) +
                      " --regid=" + std::to_string(group_) +
                      " --init-groups env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin " + variables + " sh -c " +
                      ShellQuoted(command) + (errorFile.empty() ? "" : " 2> " + ShellQuoted(errorFile)));
  return {run.status, run.out};
}

}  // namespace tallowmer::testing
