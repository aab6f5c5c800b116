#pragma once

// Small shared routines: the log rendering of values, tolerant readers of optional array
// elements, setting types and their text, folders, the folder access grant and the log sink.

#include <cstdint>
#include <string>

#include "common/OleVariant.h"

namespace tallowmer {

enum TDataType : uint8_t { dtNumber = 0, dtString = 1, dtDateTime = 2, dtBoolean = 3 };

// How logs show a value: EMPTY, NULL, numbers, 'texts', True/False, $ADDRESS, [(a; b)] arrays.
std::string VarToLogStr(const OleVariant& value);
std::string VarToLogStr(const SafeArray& array);

// True when `value` is an array whose first dimension reaches `index` and whose element there is
// neither Empty nor Null.
bool ArrayItemExists(const OleVariant& value, int32_t index);
OleVariant GetArrayItem(const OleVariant& value, int32_t index);
std::string GetArrayItemStr(const OleVariant& value, int32_t index, const std::string& defaultValue);
int32_t GetArrayItemInt(const OleVariant& value, int32_t index, int32_t defaultValue);
double GetArrayItemDbl(const OleVariant& value, int32_t index, double defaultValue);
// The element as a date-time, or the current local date-time when absent.
double GetArrayItemDate(const OleVariant& value, int32_t index);

std::string DataTypeName(TDataType valueType);
OleVariant TextToSettingValue(TDataType valueType, const std::string& text);

std::string IncludeTrailingPathDelimiter(const std::string& path);
// "dir/ls_tallowmer.dll" -> "ls_tallowmer".
std::string ExtractFileNameWithoutExtension(const std::string& path);
std::string ExtractFileDir(const std::string& path);

// A shell folder with a trailing delimiter; falls back once to the user's application-data folder.
std::string GetSpecialFolder(int folderId);
std::string GetCommonAppDataFolder();
std::string GetModuleFilePath();
bool DirectoryExists(const std::string& path);
// Creates the folder with its parents; raises EOSError on failure. A folder that another user's
// doing keeps from being made is no failure: the logs that would go there are refused and diverted
// when they are written.
void ForceDirectories(const std::string& path);
// Opens the folder to the users that shared logs are for; raises EOSError on failure. A folder that
// is not this user's to open (another user's, or one swapped for a link) is left as it is.
void GrantEveryoneFullAccess(const std::string& folder);
// A log folder shared by every user of the machine: created with its parents and opened to
// everyone when it is missing; raises EOSError on failure.
void PrepareSharedLogFolder(const std::string& folder);

// Where the service client writes its log lines: set by the newest driver object, emptied when
// any driver object goes. It does not own what it refers to.
class ILog {
 public:
  virtual void Log(const std::string& name, const std::string& text) = 0;

 protected:
  ~ILog() = default;
};

ILog* GetLogSink();
void SetLogSink(ILog* sink);

}  // namespace tallowmer
