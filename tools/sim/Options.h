#pragma once

// The simulator's command line.

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tallowmer::sim {

inline constexpr const char* kDefaultToken = "demo-token-0001";
// A year either way is more than any clock is wrong by, and keeps every date a four-digit year.
inline constexpr long long kMaxClockOffsetSeconds = 366LL * 24 * 3600;

struct Options {
  std::string host = "127.0.0.1";
  int port = 0;
  bool plain = false;
  // Empty: the database file in the state folder.
  std::optional<std::string> db;
  std::string token = kDefaultToken;
  bool seed = false;
  std::optional<std::filesystem::path> stateDir;
  bool faults = false;
  // Seconds added to the service's clock as its Date header tells it, to stand in for a till whose
  // clock is wrong.
  long long clockOffsetSeconds = 0;
  bool help = false;
};

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The arguments after the program name; each option's value follows it or comes after "=".
Options ParseOptions(const std::vector<std::string>& args);

std::string UsageText();

// $XDG_STATE_HOME/tallowmer_sim when that is an absolute path, else ~/.local/state/tallowmer_sim.
// Either argument may be null, as getenv gives them.
std::filesystem::path DefaultStateDir(const char* xdgStateHome, const char* home);

}  // namespace tallowmer::sim
