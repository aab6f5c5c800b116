#include "tests/service/SimProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

extern char** environ;

namespace tallowmer::testing {
namespace {

constexpr auto kStartLimit = std::chrono::seconds(20);

// The first line the child writes to `fd`; empty when none comes in time.
std::string ReadFirstLine(int fd) {
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + kStartLimit;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd waiting{fd, POLLIN, 0};
    if (::poll(&waiting, 1, 100) <= 0) continue;
    char c = 0;
    if (::read(fd, &c, 1) != 1) break;
    if (c == '\n') return line;
    line += c;
  }
  return "";
}

}  // namespace

SimProcess::SimProcess(const std::string& executable, const std::string& token) {
  std::string pattern = (std::filesystem::temp_directory_path() / "ls_tallowmer_sim_XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("no folder for the simulator");
  folder_ = pattern;
  const std::string errorLog = folder_ + "/stderr.log";

  int output[2];
  if (::pipe2(output, O_CLOEXEC) != 0) throw std::runtime_error("no pipe for the simulator");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
  // Its request log goes to a file, so that no pipe fills up while the tests run.
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  std::vector<std::string> args = {
      executable, "--listen", "127.0.0.1:0", "--db",        ":memory:",        "--token",
      token,      "--seed",   "--faults",    "--state-dir", folder_ + "/state"};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const int spawned = posix_spawn(&pid_, executable.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(output[1]);
  if (spawned != 0) {
    ::close(output[0]);
    pid_ = -1;
    throw std::runtime_error("cannot start " + executable);
  }
  baseUrl_ = ReadFirstLine(output[0]);
  ::close(output[0]);

  std::ifstream log(errorLog);
  for (std::string line; std::getline(log, line);) {
    if (line.rfind("CA: ", 0) == 0) caFile_ = line.substr(4);
  }
  if (baseUrl_.empty() || caFile_.empty()) {
    Stop();
    throw std::runtime_error("the simulator did not start; see what it said: " + errorLog);
  }
}

SimProcess::~SimProcess() {
  Stop();
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

void SimProcess::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
}

std::string SimProcess::Origin() const {
  const size_t path = baseUrl_.find('/', baseUrl_.find("://") + 3);
  return baseUrl_.substr(0, path);
}

}  // namespace tallowmer::testing
