#pragma once

// A program the benchmark drives: started through the shell, spoken to line by line on its
// standard input and output, its standard error kept in a file.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>

namespace tallowmer::bench {

class Child {
 public:
  // Runs `/bin/sh -c command`; throws std::runtime_error when it cannot be started.
  Child(const std::string& command, const std::string& errorFile);
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  // Closes its input and waits a little for it to end, then ends it.
  ~Child();

  void WriteLine(const std::string& line);
  // The next line without its end; nullopt when the output ended or nothing came in time.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);
  // Closes its input and waits for it to end; its exit status, or -1.
  int Finish(std::chrono::milliseconds timeout);

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  std::string buffered_;
};

}  // namespace tallowmer::bench
