// The debug log: one file per day, one line per event, each line on disk before the caller goes on.

#include "common/DateTime.h"
#include "common/Exceptions.h"
#include "core/uCOMSupport.h"
#include "platform/Env.h"

namespace tallowmer {

std::string GetDefaultDebugLogDir() {
  const std::string folder = IncludeTrailingPathDelimiter(
      GetCommonAppDataFolder() + ExtractFileNameWithoutExtension(GetModuleFilePath()));
  ForceDirectories(folder);
  GrantEveryoneFullAccess(folder);
  return folder;
}

void TBaseObject::SetDebugLogEnabled(bool value) {
  if (value == FDebugLogEnabled) return;
  FDebugLogEnabled = value;
  if (value) BeginDebugLog();
}

void TBaseObject::WriteDebugLog(const std::string& title, const std::string& text, bool titleOnly) {
  if (!FDebugLogEnabled) return;
  platform::Env& env = platform::Env::Current();
  const std::string folder = IncludeTrailingPathDelimiter(
      env.DirectoryExists(FDebugLogDir) ? FDebugLogDir : GetDefaultDebugLogDir());
  // The file's date and the line's time stamp are two readings of the clock, the date first.
  const std::string fileName = folder + "Debug_" + FormatDateTime("yyyy.mm.dd", env.Now()) + ".log";
  std::string line = FormatDateTime("yyyy.mm.dd hh:nn:ss.zzz", env.Now()) + " Inst.: " + FInstanceID + "\t" +
                     MaskSecrets(title);
  if (!titleOnly) line += ": \t" + MaskSecrets(text);
  line += "\r\n";
  const platform::OsResult written = env.AppendToSharedFile(fileName, line);
  if (!written.ok) throw EInOutError(written.message);
}

}  // namespace tallowmer
