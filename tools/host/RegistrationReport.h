#pragma once

// `check` on Windows starts with the driver's COM registrations: a registration for the user alone
// (the zip's register-user.cmd) overrides the machine's, so that this user's till loads the driver
// from the zip's folder while the installed one is never used. An installer run by a deployment
// system as SYSTEM cannot see it; the check, run as the cashier, can.

#include <string>
#include <vector>

namespace tallowmer::host {

// Where the class is registered for the programs of one bitness; empty paths where it is not.
struct ClassRegistration {
  // "32-разрядных" or "64-разрядных": whose programs see this registry view.
  std::string programs;
  std::string machineModule;
  std::string userModule;
};

// One line: "Регистрация драйвера — ОК: ..." or "— ВНИМАНИЕ: ..." naming each view's modules, the
// warning when a user's registration overrides the machine's; empty without any registration data
// (a system without COM).
std::string DescribeRegistrations(const std::vector<ClassRegistration>& views);

// This machine's registrations of the driver's class, one per registry view; none without COM.
std::vector<ClassRegistration> ReadClassRegistrations();

}  // namespace tallowmer::host
