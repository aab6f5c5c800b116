#include "service/HttpTransport.h"

#include <cstdlib>

#include "common/uCommonUtils.h"
#include "platform/Env.h"

namespace tallowmer {

std::string DefaultExtraCaBundlePath() {
  const std::string moduleFolder = ExtractFileDir(GetModuleFilePath());
  if (moduleFolder.empty()) return "";
  return IncludeTrailingPathDelimiter(moduleFolder) + "SSL" + platform::kPathDelimiter + "ca-bundle.pem";
}

TransportOptions DefaultTransportOptions() {
  TransportOptions options;
  options.extraCaBundle = DefaultExtraCaBundlePath();
  if (const char* caFile = std::getenv("LS_TALLOWMER_CA_FILE")) options.processCaFile = caFile;
  return options;
}

}  // namespace tallowmer
