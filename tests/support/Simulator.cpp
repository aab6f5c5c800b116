#include "tests/support/Simulator.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace tallowmer::testing {
namespace {

std::string FirstLineStartingWith(const std::string& file, const std::string& prefix) {
  std::ifstream stream(file);
  std::string line;
  while (std::getline(stream, line)) {
    if (line.rfind(prefix, 0) == 0) return line;
  }
  return "";
}

}  // namespace

Simulator::Simulator(const std::string& executable, const Options& options) : options_(options) {
  std::string pattern = (std::filesystem::temp_directory_path() / "ls_tallowmer_sim_XXXXXX").string();
  folder_ = mkdtemp(pattern.data());
  std::vector<std::string> args{executable, "--listen", "127.0.0.1:0", "--db",        ":memory:",
                                "--seed",   "--token",  options.token, "--state-dir", folder_ + "/state"};
  if (options.plain) args.push_back("--plain");
  if (options.faults) args.push_back("--faults");
  if (options.clockOffsetSeconds != 0) {
    args.push_back("--clock-offset");
    args.push_back(std::to_string(options.clockOffsetSeconds));
  }
  const std::string out = folder_ + "/stdout";
  const std::string err = folder_ + "/stderr";
  pid_ = fork();
  if (pid_ == 0) {
    const int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(outFd, STDOUT_FILENO);
    dup2(errFd, STDERR_FILENO);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    baseUrl_ = FirstLineStartingWith(out, "http");
    if (!baseUrl_.empty()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (baseUrl_.empty()) throw std::runtime_error("the simulator did not start: " + executable);
  if (!options.plain) {
    const std::string line = FirstLineStartingWith(err, "CA: ");
    caFile_ = line.empty() ? "" : line.substr(4);
  }
}

std::string Simulator::Origin() const {
  const size_t path = baseUrl_.find('/', baseUrl_.find("://") + 3);
  return baseUrl_.substr(0, path);
}

Simulator::~Simulator() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

}  // namespace tallowmer::testing
