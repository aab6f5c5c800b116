// The debug log: one file per day, one line per event, each line on disk before the caller goes on.

#include "common/DateTime.h"
#include "common/Exceptions.h"
#include "common/SharedLog.h"
#include "common/Unicode.h"
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

// Titles and texts carry what hosts and the service sent; a line break or a terminal sequence among
// them would let the sender write lines of its own into the log, so they are shown escaped.
std::string TBaseObject::DebugLogLine(const std::string& title, const std::string& text,
                                      bool titleOnly) const {
  std::string line = FormatDateTime("yyyy.mm.dd hh:nn:ss.zzz", platform::Env::Current().Now()) +
                     " Inst.: " + FInstanceID + "\t" + EscapeControls(title);
  if (!titleOnly) line += ": \t" + EscapeControls(text);
  return line + "\r\n";
}

void TBaseObject::WriteDebugLog(const std::string& title, const std::string& text, bool titleOnly) {
  if (!FDebugLogEnabled) return;
  platform::Env& env = platform::Env::Current();
  const std::string folder = IncludeTrailingPathDelimiter(
      env.DirectoryExists(FDebugLogDir) ? FDebugLogDir : GetDefaultDebugLogDir());
  // The file's date and the line's time stamp are two readings of the clock, the date first.
  const std::string fileName = folder + "Debug_" + FormatDateTime("yyyy.mm.dd", env.Now()) + ".log";
  std::string lines;
  if (FLostDebugLines > 0) {
    lines = DebugLogLine("EXCEPTION",
                         "EInOutError: " + FLostDebugLineError +
                             "; строк журнала не записано: " + std::to_string(FLostDebugLines),
                         false);
  }
  lines += DebugLogLine(title, text, titleOnly);
  // A log refused for a link planted in its place costs the host nothing: its lines go to the
  // user's own log folder, and the refusal is noted where it happened.
  const platform::OsResult written = AppendToSharedLog(
      fileName, lines, [this](const std::string& note) { return DebugLogLine("WARNING", note, false); });
  if (!written.ok()) throw EInOutError(written.message());
  FLostDebugLines = 0;
  FLostDebugLineError.clear();
}

void TBaseObject::WriteDebugLogAfterEffect(const std::string& title, const std::string& text) noexcept {
  try {
    WriteDebugLog(title, text);
  } catch (const Exception& error) {
    ++FLostDebugLines;
    FLostDebugLineError = error.Message();
  } catch (...) {
    ++FLostDebugLines;
  }
}

}  // namespace tallowmer
