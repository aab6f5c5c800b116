#include "service/HttpLog.h"

#include <algorithm>
#include <utility>

#include "common/DateTime.h"
#include "common/Exceptions.h"
#include "common/SharedLog.h"
#include "platform/Env.h"

namespace tallowmer {

std::string RenderLogBytes(std::string_view bytes) {
  std::string result;
  result.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size(); ++i) {
    const char c = bytes[i];
    if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') {
      result += "<EOL>";
      ++i;
    } else if (c == '\r') {
      result += "<CR>";
    } else if (c == '\n') {
      result += "<LF>";
    } else {
      result += c;
    }
  }
  return result;
}

std::string MaskTokenInRequestLine(std::string_view block) {
  static constexpr std::string_view kMask = "***";
  static constexpr std::string_view kName = "token";
  std::string result(block);
  // The request line: an upper-case method, a blank, the target, and a blank and the version unless
  // the line ends there; the token is in the target's query.
  const size_t lineEnd = std::min(block.find("\r\n"), block.size());
  const size_t targetStart = block.find(' ');
  if (targetStart == std::string_view::npos || targetStart == 0 || targetStart >= lineEnd ||
      !std::all_of(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(targetStart),
                   [](char c) { return c >= 'A' && c <= 'Z'; })) {
    return result;
  }
  const size_t targetEnd = std::min(block.find(' ', targetStart + 1), lineEnd);
  if (targetEnd < lineEnd && block.substr(targetEnd + 1, lineEnd - targetEnd - 1).rfind("HTTP/", 0) != 0) {
    return result;
  }
  const size_t queryStart = block.find('?', targetStart + 1);
  if (queryStart == std::string_view::npos || queryStart >= targetEnd) return result;
  // From the back, so that the positions of the parameters still to come stay valid.
  size_t pairEnd = std::min(block.find('#', queryStart), targetEnd);
  while (pairEnd > queryStart) {
    const size_t pairStart = block.rfind('&', pairEnd - 1);
    const size_t nameStart =
        pairStart == std::string_view::npos || pairStart < queryStart ? queryStart + 1 : pairStart + 1;
    const std::string_view pair = block.substr(nameStart, pairEnd - nameStart);
    if (pair.size() > kName.size() && pair.substr(0, kName.size()) == kName && pair[kName.size()] == '=') {
      const size_t valueStart = nameStart + kName.size() + 1;
      if (valueStart < pairEnd) result.replace(valueStart, pairEnd - valueStart, kMask);
    }
    pairEnd = nameStart - 1;
  }
  return result;
}

HttpLogFile::HttpLogFile(const std::string& path) {
  platform::OsResult failure;
  file_ = OpenSharedLog(
      path, [](const std::string& note) { return "Stat " + note + "\r\n"; }, failure);
  if (!file_) throw EInOutError(failure.message());
}

void HttpLogFile::WriteLine(std::string_view line) noexcept {
  try {
    std::string text;
    text.reserve(line.size() + 2);
    text.append(line).append("\r\n");
    file_->Append(text);
  } catch (...) {
    // Out of memory: the line is lost, the request goes on.
  }
}

std::string HttpLogTimestamp() {
  const FormatSettings& formats = DefaultFormatSettings();
  return FormatDateTime(formats.shortDateFormat + " " + formats.longTimeFormat,
                        platform::Env::Current().Now());
}

void HttpLogWriter::OnConnected(std::string_view proxy) noexcept {
  NoteWhatWasNotLogged();
  receivedLogged_ = 0;
  if (file_ == nullptr) return;
  try {
    file_->WriteLine(proxy.empty() ? std::string("Stat Connected.")
                                   : "Stat Connected. Proxy: " + std::string(proxy));
  } catch (...) {
    // Out of memory: the line is lost, the request goes on.
  }
}

void HttpLogWriter::OnSent(std::string_view bytes) noexcept {
  try {
    WriteBlock("Sent ", MaskTokenInRequestLine(bytes));
  } catch (...) {
    // Out of memory: the line is lost, the request goes on.
  }
}

void HttpLogWriter::OnReceived(std::string_view bytes) noexcept {
  const size_t logged = std::min(bytes.size(), kLoggedAnswerLimit - receivedLogged_);
  receivedLogged_ += logged;
  receivedNotLogged_ += bytes.size() - logged;
  if (logged > 0) WriteBlock("Recv ", bytes.substr(0, logged));
}

void HttpLogWriter::OnDisconnected() noexcept {
  NoteWhatWasNotLogged();
  if (file_ != nullptr) file_->WriteLine("Stat Disconnected.");
}

void HttpLogWriter::NoteWhatWasNotLogged() noexcept {
  if (receivedNotLogged_ == 0) return;
  const size_t count = std::exchange(receivedNotLogged_, 0);
  if (file_ == nullptr) return;
  try {
    file_->WriteLine("Stat Not logged: " + std::to_string(count) + " more bytes received.");
  } catch (...) {
    // Out of memory: the line is lost, the request goes on.
  }
}

void HttpLogWriter::WriteBlock(std::string_view prefix, std::string_view bytes) noexcept {
  if (file_ == nullptr) return;
  try {
    file_->WriteLine(std::string(prefix) + HttpLogTimestamp() + ": " + RenderLogBytes(bytes));
  } catch (...) {
    // Out of memory or a clock that cannot be formatted: the line is lost, the request goes on.
  }
}

}  // namespace tallowmer
