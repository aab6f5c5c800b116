#include "tests/bench/wan/Child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace tallowmer::bench {

Child::Child(const std::string& command, const std::string& errorFile) {
  int toChild[2];
  int fromChild[2];
  if (::pipe2(toChild, O_CLOEXEC) != 0)
    throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  if (::pipe2(fromChild, O_CLOEXEC) != 0) {
    ::close(toChild[0]);
    ::close(toChild[1]);
    throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  }
  const int error = ::open(errorFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(toChild[0], STDIN_FILENO);
    ::dup2(fromChild[1], STDOUT_FILENO);
    if (error >= 0) ::dup2(error, STDERR_FILENO);
    ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(toChild[0]);
  ::close(fromChild[1]);
  if (error >= 0) ::close(error);
  input_ = toChild[1];
  output_ = fromChild[0];
  if (pid_ < 0) {
    ::close(input_);
    ::close(output_);
    throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
  }
}

Child::~Child() {
  if (pid_ > 0) Finish(std::chrono::seconds(10));
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  if (output_ >= 0) ::close(output_);
}

void Child::WriteLine(const std::string& line) {
  const std::string text = line + "\n";
  size_t at = 0;
  while (at < text.size()) {
    const ssize_t written = ::write(input_, text.data() + at, text.size() - at);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) throw std::runtime_error("the program stopped reading its input");
    at += static_cast<size_t>(written);
  }
}

std::optional<std::string> Child::ReadLine(std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (true) {
    if (const size_t newline = buffered_.find('\n'); newline != std::string::npos) {
      std::string line = buffered_.substr(0, newline);
      buffered_.erase(0, newline + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd wait{output_, POLLIN, 0};
    if (::poll(&wait, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[4096];
    const ssize_t got = ::read(output_, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return std::nullopt;
    buffered_.append(buffer, static_cast<size_t>(got));
  }
}

int Child::Finish(std::chrono::milliseconds timeout) {
  if (input_ >= 0) {
    ::close(input_);
    input_ = -1;
  }
  if (pid_ <= 0) return -1;
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return -1;
}

}  // namespace tallowmer::bench
