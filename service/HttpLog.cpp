#include "service/HttpLog.h"

#include <algorithm>

#include "common/DateTime.h"
#include "common/Exceptions.h"
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

void SecretMask::SetSecrets(std::vector<std::string> secrets) {
  std::erase_if(secrets, [](const std::string& secret) { return secret.size() < kMinimumLength; });
  // The longest first, so that a secret containing another is masked as a whole.
  std::sort(secrets.begin(), secrets.end(),
            [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  secrets_ = std::move(secrets);
}

std::string SecretMask::Apply(std::string_view text) const {
  std::string result(text);
  for (const std::string& secret : secrets_) {
    for (size_t at = result.find(secret); at != std::string::npos;
         at = result.find(secret, at + kMask.size())) {
      result.replace(at, secret.size(), kMask);
    }
  }
  return result;
}

HttpLogFile::HttpLogFile(const std::string& path) {
  platform::OsResult failure;
  file_ = platform::Env::Current().OpenAppendFile(path, failure);
  if (!file_) throw EInOutError(failure.message);
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
  if (file_ == nullptr) return;
  try {
    file_->WriteLine(proxy.empty() ? std::string("Stat Connected.")
                                   : "Stat Connected. Proxy: " + mask_.Apply(proxy));
  } catch (...) {
    // Out of memory: the line is lost, the request goes on.
  }
}

void HttpLogWriter::OnSent(std::string_view bytes) noexcept {
  WriteBlock("Sent ", bytes);
}

void HttpLogWriter::OnReceived(std::string_view bytes) noexcept {
  WriteBlock("Recv ", bytes);
}

void HttpLogWriter::OnDisconnected() noexcept {
  if (file_ != nullptr) file_->WriteLine("Stat Disconnected.");
}

void HttpLogWriter::WriteBlock(std::string_view prefix, std::string_view bytes) noexcept {
  if (file_ == nullptr) return;
  try {
    file_->WriteLine(std::string(prefix) + HttpLogTimestamp() + ": " + RenderLogBytes(mask_.Apply(bytes)));
  } catch (...) {
    // Out of memory or a clock that cannot be formatted: the line is lost, the request goes on.
  }
}

}  // namespace tallowmer
