#include "service/HttpLog.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "common/DateTime.h"
#include "common/Exceptions.h"
#include "platform/Env.h"

namespace tallowmer {
namespace {

// Paths are UTF-8 inside the system; a u8 path keeps them so on every platform.
std::filesystem::path Utf8Path(const std::string& path) {
  return std::filesystem::path(std::u8string(path.begin(), path.end()));
}

}  // namespace

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
  const std::filesystem::path file = Utf8Path(path);
  std::error_code ignored;
  const bool created = !std::filesystem::exists(file, ignored);
  stream_.open(file, std::ios::binary | std::ios::app);
  if (!stream_) {
    throw EInOutError("Не удалось открыть файл журнала " + path + ": " +
                      std::generic_category().message(errno));
  }
  // Several users of the machine share the daily file; whoever creates it lets the others append.
  if (created) {
    using std::filesystem::perms;
    std::filesystem::permissions(file,
                                 perms::owner_read | perms::owner_write | perms::group_read |
                                     perms::group_write | perms::others_read | perms::others_write,
                                 std::filesystem::perm_options::add, ignored);
  }
}

void HttpLogFile::WriteLine(std::string_view line) noexcept {
  stream_.write(line.data(), static_cast<std::streamsize>(line.size()));
  stream_.write("\r\n", 2);
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
