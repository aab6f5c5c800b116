#include "service/HttpTransport.h"

#include <cstdlib>
#include <ostream>

#include "common/uCommonUtils.h"
#include "platform/Env.h"

namespace tallowmer {

std::string DefaultExtraCaBundlePath() {
  const std::string moduleFolder = ExtractFileDir(GetModuleFilePath());
  if (moduleFolder.empty()) return "";
  return IncludeTrailingPathDelimiter(moduleFolder) + "SSL" + platform::kPathDelimiter + "ca-bundle.pem";
}

const char* TransportFailureName(TransportFailure failure) {
  switch (failure) {
    case TransportFailure::None:
      return "None";
    case TransportFailure::BadUrl:
      return "BadUrl";
    case TransportFailure::NameNotResolved:
      return "NameNotResolved";
    case TransportFailure::ConnectionRefused:
      return "ConnectionRefused";
    case TransportFailure::TimedOut:
      return "TimedOut";
    case TransportFailure::CertificateRejected:
      return "CertificateRejected";
    case TransportFailure::SecureChannel:
      return "SecureChannel";
    case TransportFailure::ConnectionLost:
      return "ConnectionLost";
    case TransportFailure::ProtocolError:
      return "ProtocolError";
    case TransportFailure::AnswerTooLarge:
      return "AnswerTooLarge";
    case TransportFailure::ProxyRefused:
      return "ProxyRefused";
    case TransportFailure::Other:
      return "Other";
  }
  return "?";
}

std::ostream& operator<<(std::ostream& out, TransportFailure failure) {
  return out << TransportFailureName(failure);
}

std::string DescribeTransportFailure(TransportFailure failure, std::string_view detail) {
  std::string text;
  switch (failure) {
    case TransportFailure::None:
      break;
    case TransportFailure::BadUrl:
      text = "Неверный адрес сервиса";
      break;
    case TransportFailure::NameNotResolved:
      text = "Не удалось найти сервер по имени";
      break;
    case TransportFailure::ConnectionRefused:
      text = "Не удалось соединиться с сервером";
      break;
    case TransportFailure::TimedOut:
      text = "Истекло время ожидания ответа сервера";
      break;
    case TransportFailure::CertificateRejected:
      text = "Сертификат сервера не прошел проверку";
      break;
    case TransportFailure::SecureChannel:
      text = "Не удалось установить защищенное соединение с сервером";
      break;
    case TransportFailure::ConnectionLost:
      text = "Соединение с сервером прервано";
      break;
    case TransportFailure::ProtocolError:
      text = "Ответ сервера не соответствует протоколу HTTP";
      break;
    case TransportFailure::AnswerTooLarge:
      text = "Ответ сервера слишком велик";
      break;
    case TransportFailure::ProxyRefused:
      text = "Прокси-сервер отказал в соединении с сервером";
      break;
    case TransportFailure::Other:
      text = "Ошибка соединения с сервером";
      break;
  }
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
