#pragma once

// Two local users of one till, made for a test by root and removed after it: a cashier whose host
// sells, and another user of the till who may do whatever a user with no special rights can. Both
// belong to the till's group, which an administrator gives the shared log folders.

#include <sys/types.h>

#include <memory>
#include <string>

namespace tallowmer::testing {

struct LocalUser {
  std::string name;
  uid_t uid = 0;
  // The user database's home folder, made for the test and owned by the user.
  std::string home;
};

class LocalUsers {
 public:
  // Null, with the reason in `whyNot`, where users cannot be made: not root, or no useradd.
  // `folder` (which must exist) receives the users' homes and a copy of the host program.
  static std::unique_ptr<LocalUsers> Create(const std::string& folder, std::string& whyNot);
  ~LocalUsers();
  LocalUsers(const LocalUsers&) = delete;
  LocalUsers& operator=(const LocalUsers&) = delete;

  const LocalUser& Cashier() const { return cashier_; }
  const LocalUser& Other() const { return other_; }
  gid_t TillGroup() const { return group_; }

  // Runs the shell command as `user` with the till's group, a bare environment plus `variables`
  // ("NAME=value ..." already quoted), in `folder`; the exit status and what it wrote to standard
  // output. Its standard error goes to `errorFile` (made by root) when one is named.
  struct Run {
    int status = -1;
    std::string out;
  };
  Run As(const LocalUser& user, const std::string& folder, const std::string& command,
         const std::string& variables = "", const std::string& errorFile = "") const;

 private:
  LocalUsers() = default;

  std::string suffix_;
  std::string groupName_;
  gid_t group_ = 0;
  LocalUser cashier_;
  LocalUser other_;
};

// The text in single quotes for the shell.
std::string ShellQuoted(const std::string& text);

}  // namespace tallowmer::testing
