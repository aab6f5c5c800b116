#pragma once

// The HTTP log: one daily file to which every request appends the events of its connection,
// "Stat Connected." (followed by " Proxy: <proxy>" when it goes through one), "Sent <time>: <bytes>", "Recv
// <time>: <bytes>", "Stat Disconnected.", each line ending in CR LF, the bytes as they travelled.

#include <memory>
#include <string>
#include <string_view>

#include "platform/Env.h"
#include "service/HttpTransport.h"

namespace tallowmer {

// The bytes of one block for a log line: CR LF becomes "<EOL>", any other CR "<CR>", any other
// LF "<LF>"; every other byte stays as it is.
std::string RenderLogBytes(std::string_view bytes);

// The block with the value of the "token" parameter of its request line written as "***", whatever
// its length; an empty value stays empty. Only a block that begins with a request line ("GET
// /api/v2/ping?token=... HTTP/1.1") is touched: bodies, answers and every other parameter stay as
// they travelled, also where they happen to hold the token's text.
std::string MaskTokenInRequestLine(std::string_view block);

// A log file held open for appending while one request runs. The bytes go to disk unconverted,
// each line in one piece, so that transports sharing the day's file never split each other's lines.
class HttpLogFile {
 public:
  // A file refused for a link in its place gives way to the user's own log (OpenSharedLog).
  // Raises EInOutError when no file can be opened.
  explicit HttpLogFile(const std::string& path);
  HttpLogFile(const HttpLogFile&) = delete;
  HttpLogFile& operator=(const HttpLogFile&) = delete;

  // Appends the line and CR LF. A failing write is not reported: the request matters more than
  // its log.
  void WriteLine(std::string_view line) noexcept;

 private:
  std::unique_ptr<platform::AppendFile> file_;
};

// Turns a connection's events into log lines; writes nothing when no file is given. Of what one
// connection receives, at most kLoggedAnswerLimit bytes are written; the size of the rest is noted
// in a line of its own ("Stat Not logged: N more bytes received."), so that no server fills the disk.
class HttpLogWriter final : public IHttpEvents {
 public:
  // An answer's heads and body at their limits; chunk sizes count too.
  static constexpr size_t kLoggedAnswerLimit = kAnswerHeadLimit + kAnswerBodyLimit;

  explicit HttpLogWriter(HttpLogFile* file) : file_(file) {}
  HttpLogWriter(const HttpLogWriter&) = delete;
  HttpLogWriter& operator=(const HttpLogWriter&) = delete;
  ~HttpLogWriter() { NoteWhatWasNotLogged(); }

  void OnConnected(std::string_view proxy) noexcept override;
  void OnSent(std::string_view bytes) noexcept override;
  void OnReceived(std::string_view bytes) noexcept override;
  void OnDisconnected() noexcept override;

 private:
  void WriteBlock(std::string_view prefix, std::string_view bytes) noexcept;
  void NoteWhatWasNotLogged() noexcept;

  HttpLogFile* file_;
  size_t receivedLogged_ = 0;
  size_t receivedNotLogged_ = 0;
};

// The time stamp of a log line: the regional short date, a blank, the long time.
std::string HttpLogTimestamp();

}  // namespace tallowmer
