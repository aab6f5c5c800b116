#pragma once

// The HTTP log: one daily file to which every request appends the events of its connection,
// "Stat Connected." (followed by " Proxy: <proxy>" when it goes through one), "Sent <time>: <bytes>", "Recv
// <time>: <bytes>", "Stat Disconnected.", each line ending in CR LF, the bytes as they travelled.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Env.h"
#include "service/HttpTransport.h"

namespace tallowmer {

// The bytes of one block for a log line: CR LF becomes "<EOL>", any other CR "<CR>", any other
// LF "<LF>"; every other byte stays as it is.
std::string RenderLogBytes(std::string_view bytes);

// Replaces secrets by "***" wherever they occur. Secrets shorter than eight characters are left
// alone: they would mask ordinary words and numbers all over the logs.
class SecretMask {
 public:
  static constexpr size_t kMinimumLength = 8;
  static constexpr std::string_view kMask = "***";

  void SetSecrets(std::vector<std::string> secrets);
  std::string Apply(std::string_view text) const;

 private:
  std::vector<std::string> secrets_;
};

// A log file held open for appending while one request runs. The bytes go to disk unconverted,
// each line in one piece, so that transports sharing the day's file never split each other's lines.
class HttpLogFile {
 public:
  // Raises EInOutError when the file cannot be opened (a symbolic link in its place included).
  explicit HttpLogFile(const std::string& path);
  HttpLogFile(const HttpLogFile&) = delete;
  HttpLogFile& operator=(const HttpLogFile&) = delete;

  // Appends the line and CR LF. A failing write is not reported: the request matters more than
  // its log.
  void WriteLine(std::string_view line) noexcept;

 private:
  std::unique_ptr<platform::AppendFile> file_;
};

// Turns a connection's events into log lines; writes nothing when no file is given.
class HttpLogWriter final : public IHttpEvents {
 public:
  HttpLogWriter(HttpLogFile* file, const SecretMask& mask) : file_(file), mask_(mask) {}

  void OnConnected(std::string_view proxy) noexcept override;
  void OnSent(std::string_view bytes) noexcept override;
  void OnReceived(std::string_view bytes) noexcept override;
  void OnDisconnected() noexcept override;

 private:
  void WriteBlock(std::string_view prefix, std::string_view bytes) noexcept;

  HttpLogFile* file_;
  const SecretMask& mask_;
};

// The time stamp of a log line: the regional short date, a blank, the long time.
std::string HttpLogTimestamp();

}  // namespace tallowmer
