#include "service/HttpTransport.h"

#include <cstdlib>
#include <iterator>
#include <ostream>

#include "common/uCommonUtils.h"
#include "platform/Env.h"

namespace tallowmer {

std::string DefaultExtraCaBundlePath() {
  const std::string moduleFolder = ExtractFileDir(GetModuleFilePath());
  if (moduleFolder.empty()) return "";
  return IncludeTrailingPathDelimiter(moduleFolder) + "SSL" + platform::kPathDelimiter + "ca-bundle.pem";
}

namespace {

struct FailureWords {
  TransportFailure kind;
  const char* name;
  const char* text;
};

// One row per kind, in the enum's order: a kind added without its row, or a row out of place,
// stops the build (below) instead of reaching a host without words.
constexpr FailureWords kFailureWords[] = {
    {TransportFailure::None, "None", ""},
    {TransportFailure::BadUrl, "BadUrl", "Неверный адрес сервиса"},
    {TransportFailure::NameNotResolved, "NameNotResolved", "Не удалось найти сервер по имени"},
    {TransportFailure::ConnectionRefused, "ConnectionRefused", "Не удалось соединиться с сервером"},
    {TransportFailure::TimedOut, "TimedOut", "Истекло время ожидания ответа сервера"},
    {TransportFailure::CertificateRejected, "CertificateRejected", "Сертификат сервера не прошел проверку"},
    {TransportFailure::SecureChannel, "SecureChannel",
     "Не удалось установить защищенное соединение с сервером"},
    {TransportFailure::ConnectionLost, "ConnectionLost", "Соединение с сервером прервано"},
    {TransportFailure::ProtocolError, "ProtocolError", "Ответ сервера не соответствует протоколу HTTP"},
    {TransportFailure::AnswerTooLarge, "AnswerTooLarge", "Ответ сервера слишком велик"},
    {TransportFailure::ProxyRefused, "ProxyRefused", "Прокси-сервер отказал в соединении с сервером"},
    {TransportFailure::Other, "Other", "Ошибка соединения с сервером"},
};

constexpr bool EveryKindInItsPlace() {
  for (size_t i = 0; i < std::size(kFailureWords); ++i) {
    if (static_cast<size_t>(kFailureWords[i].kind) != i) return false;
  }
  return std::size(kFailureWords) == static_cast<size_t>(TransportFailure::Other) + 1;
}
static_assert(EveryKindInItsPlace(), "kFailureWords needs one row per TransportFailure, in order");

// A value outside the enum (a cast from a stored number) gets no row.
const FailureWords* WordsOf(TransportFailure failure) {
  const auto index = static_cast<size_t>(failure);
  return index < std::size(kFailureWords) ? &kFailureWords[index] : nullptr;
}

}  // namespace

const char* TransportFailureName(TransportFailure failure) {
  const FailureWords* words = WordsOf(failure);
  return words ? words->name : "?";
}

std::ostream& operator<<(std::ostream& out, TransportFailure failure) {
  return out << TransportFailureName(failure);
}

std::string DescribeTransportFailure(TransportFailure failure, std::string_view detail) {
  const FailureWords* words = WordsOf(failure);
  const std::string text = words ? words->text : "";
  if (detail.empty()) return text;
  if (text.empty()) return std::string(detail);
  return text + " (" + std::string(detail) + ")";
}

std::string ProxyRefusalDetail(std::string_view shownProxy, std::string_view libraryWords) {
  std::string detail = "прокси " + std::string(shownProxy);
  if (!libraryWords.empty()) detail += ": " + std::string(libraryWords);
  return detail;
}

TransportOptions DefaultTransportOptions() {
  TransportOptions options;
  options.extraCaBundle = DefaultExtraCaBundlePath();
  if (const char* caFile = std::getenv("LS_TALLOWMER_CA_FILE")) options.processCaFile = caFile;
  return options;
}

}  // namespace tallowmer
