#include "service/uHTTP.h"

#include <optional>

#include "common/DateTime.h"
#include "common/uCommonUtils.h"
#include "platform/Env.h"
#include "service/Charset.h"

namespace tallowmer {
namespace {

constexpr const char* kUnknownFailure = "Неизвестная ошибка";

bool IsSuccess(int32_t status) {
  return status >= 200 && status < 300;
}

// Everything a query may hold stands as it is, '+', '=' and '%' included: the service decodes the
// query as a form, so a '+' it receives turns into a blank as it always has, and an encoded "%2B"
// would reach it as a '+' it never saw before. Encoded are only the bytes that cannot stand in a
// query at all (controls, the blank, non-ASCII, the characters that URLs forbid, '[' and ']' among
// them, which some WinHTTPs encode on the way while the log shows them as they were), '#', which would
// end the URL, and '&', which would cut the value and start a parameter of its own.
bool StandsInQueryValue(unsigned char c) {
  if (c <= ' ' || c >= 0x7F) return false;
  switch (c) {
    case '#':
    case '&':
    case '"':
    case '<':
    case '>':
    case '\\':
    case '^':
    case '`':
    case '{':
    case '|':
    case '}':
    case '[':
    case ']':
      return false;
    default:
      return true;
  }
}

}  // namespace

std::string GetProductDataFolder() {
  std::string common = GetCommonAppDataFolder();
  if (!common.empty() && common.back() == platform::kPathDelimiter) common.pop_back();
  return common + platform::kPathDelimiter + "Quorvane" + platform::kPathDelimiter + "ls_tallowmer";
}

std::string EncodeQueryValue(std::string_view value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string result;
  result.reserve(value.size());
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (StandsInQueryValue(byte)) {
      result += c;
    } else {
      result += '%';
      result += kHex[byte >> 4];
      result += kHex[byte & 0x0F];
    }
  }
  return result;
}

THTTPRest::THTTPRest(bool ALogEnabled) : THTTPRest(ALogEnabled, CreateDefaultTransport()) {}

THTTPRest::THTTPRest(bool ALogEnabled, std::unique_ptr<IHttpTransport> AHTTPClient)
    : FIdHTTPClient(std::move(AHTTPClient)), FLogEnabled(ALogEnabled) {}

std::string THTTPRest::PrepareLogFolder() const {
  const std::string folder = FLogDir.empty() ? IncludeTrailingPathDelimiter(GetProductDataFolder()) + "logs" +
                                                   platform::kPathDelimiter
                                             : IncludeTrailingPathDelimiter(FLogDir);
  // Created and opened to everyone even while logging is off, so that switching it on never
  // depends on who happened to run first.
  PrepareSharedLogFolder(folder);
  return folder;
}

void THTTPRest::MakeRequest(TMethodType AMethod, const std::string& AURL, const std::string& AData,
                            std::string& AResponse, int32_t& ACode,
                            std::string& AResultDescription) noexcept {
  AResponse.clear();
  AResultDescription.clear();
  try {
    const std::string folder = PrepareLogFolder();
    // The name is fixed now: a request running over midnight stays in the file of its first day.
    const std::string fileName =
        folder + "http_" + FormatDateTime("yyyy.mm.dd", platform::Env::Current().Now()) + ".log";
    std::optional<HttpLogFile> file;
    if (FLogEnabled) file.emplace(fileName);
    HttpLogWriter log(file ? &*file : nullptr);
    switch (AMethod) {
      case mtGet:
        ACode = HTTPGet(AURL, AResponse, AResultDescription, log);
        break;
      case mtPost:
        ACode = HTTPPost(AURL, AData, AResponse, AResultDescription, log);
        break;
      case mtDelete:
        break;
    }
  } catch (const std::exception& error) {
    AResponse.clear();
    ACode = -1;
    AResultDescription = error.what();
  } catch (...) {
    AResponse.clear();
    ACode = -1;
    AResultDescription = kUnknownFailure;
  }
}

int32_t THTTPRest::HTTPGet(const std::string& AURL, std::string& AResponse, std::string& AResultDescription,
                           IHttpEvents& log) {
  return Send(HttpVerb::Get, AURL, {}, AResponse, AResultDescription, log);
}

int32_t THTTPRest::HTTPPost(const std::string& AURL, const std::string& AData, std::string& AResponse,
                            std::string& AResultDescription, IHttpEvents& log) {
  // Text is UTF-8 inside the system already, so the body goes out as it is, without a byte-order mark.
  return Send(HttpVerb::Post, AURL, AData, AResponse, AResultDescription, log);
}

int32_t THTTPRest::Send(HttpVerb verb, const std::string& AURL, std::string_view body, std::string& AResponse,
                        std::string& AResultDescription, IHttpEvents& log) {
  AResponse.clear();
  AResultDescription.clear();
  const HttpAnswer answer = FIdHTTPClient->Execute(verb, AURL, body, &log);
  if (answer.status < 0) {
    AResultDescription = DescribeTransportFailure(answer.failure, answer.error);
    return -1;
  }
  if (!IsSuccess(answer.status)) {
    AResultDescription = DecodeToUtf8(answer.body, CharsetOfContentType(answer.contentType));
    return answer.status;
  }
  // A successful answer is UTF-8 whatever charset it names.
  AResponse = DecodeToUtf8(answer.body, "utf-8");
  return answer.status;
}

int32_t THTTPRest::PostWithoutLog(const std::string& AURL) noexcept {
  return FIdHTTPClient->Execute(HttpVerb::Post, AURL, {}, nullptr).status;
}

}  // namespace tallowmer
