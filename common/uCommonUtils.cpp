#include "common/uCommonUtils.h"

#include <cstdio>
#include <vector>

#include "common/DateTime.h"
#include "common/Exceptions.h"
#include "common/FormatSettings.h"
#include "common/Unicode.h"
#include "common/VariantConvert.h"
#include "platform/Env.h"

namespace tallowmer {
namespace {

ILog* logSink = nullptr;

std::string QuotedLogText(std::string text) {
  std::string result = "'";
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      result += "\\n";
      ++i;
    } else {
      result += text[i];
    }
  }
  return result + "'";
}

std::string ByteAsCharacter(uint8_t byte) {
  return Utf16ToUtf8(std::u16string(1, static_cast<char16_t>(byte)));
}

std::string AddressText(const void* address) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "$%08llX",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(address)));
  return buffer;
}

// The last dimension is the outermost group; the first varies fastest.
void AppendGroup(const SafeArray& array, int dimension, std::vector<int32_t>& indices, std::string& out) {
  out += '(';
  const int32_t high = array.HighBound(dimension);
  // Counted in 64 bits: a dimension may end at the largest 32-bit index.
  for (int64_t i = array.LowBound(dimension); i <= high; ++i) {
    indices[static_cast<size_t>(dimension - 1)] = static_cast<int32_t>(i);
    if (dimension == 1) {
      out += VarToLogStr(array.At(indices));
      if (i < high) out += "; ";
    } else {
      AppendGroup(array, dimension - 1, indices, out);
    }
  }
  out += ')';
}

std::string ArrayLogText(const SafeArray* array) {
  if (array == nullptr) return "EMPTY";
  if (array->DimensionCount() == 0) return "[]";
  std::vector<int32_t> indices(static_cast<size_t>(array->DimensionCount()));
  std::string out = "[";
  AppendGroup(*array, array->DimensionCount(), indices, out);
  return out + "]";
}

// The element at `index` of a one-dimensional array, or null when there is none.
const OleVariant* ArrayElement(const OleVariant& value, int32_t index) {
  const OleVariant& resolved = value.Resolved();
  const SafeArray* array = resolved.IsArray() ? resolved.ArrayValue() : nullptr;
  if (array == nullptr || array->DimensionCount() != 1 ||
      !array->Contains(std::span<const int32_t>(&index, 1))) {
    return nullptr;
  }
  return &array->At(index);
}

}  // namespace

std::string VarToLogStr(const OleVariant& input) {
  OleVariant holder;
  const OleVariant& plain = input.IsByRef() ? (holder = input.Dereferenced()) : input;
  if (plain.IsArray()) return ArrayLogText(plain.ArrayValue());
  switch (plain.Type()) {
    case varEmpty:
      return "EMPTY";
    case varNull:
      return "NULL";
    case varSmallint:
    case varInteger:
      return std::to_string(plain.IntegerValue());
    case varSingle:
      return FloatToStr(plain.SingleValue());
    case varDouble:
      return FloatToStr(plain.DoubleValue());
    case varCurrency:
      return FloatToStr(static_cast<double>(plain.CurrencyValue().value) / Currency::kScale);
    case varDate:
      return DateTimeToStr(plain.DoubleValue());
    case varOleStr:
      return QuotedLogText(Utf16ToUtf8(plain.WideValue()));
    case varString:
      return QuotedLogText(plain.AnsiValue());
    case varDispatch:
      return AddressText(plain.DispatchValue().get());
    case varBoolean:
      return plain.BooleanValue() ? "True" : "False";
    case varByte:
      return ByteAsCharacter(static_cast<uint8_t>(plain.IntegerValue()));
    default:
      return "";
  }
}

std::string VarToLogStr(const SafeArray& array) {
  return ArrayLogText(&array);
}

bool ArrayItemExists(const OleVariant& value, int32_t index) {
  const OleVariant* element = ArrayElement(value, index);
  if (element == nullptr) return false;
  const OleVariant& item = element->Resolved();
  return !item.IsEmpty() && !item.IsNull();
}

OleVariant GetArrayItem(const OleVariant& value, int32_t index) {
  return ArrayItemExists(value, index) ? *ArrayElement(value, index) : OleVariant();
}

std::string GetArrayItemStr(const OleVariant& value, int32_t index, const std::string& defaultValue) {
  return ArrayItemExists(value, index) ? VarToStr(*ArrayElement(value, index)) : defaultValue;
}

int32_t GetArrayItemInt(const OleVariant& value, int32_t index, int32_t defaultValue) {
  return ArrayItemExists(value, index) ? VarToInt32(*ArrayElement(value, index)) : defaultValue;
}

double GetArrayItemDbl(const OleVariant& value, int32_t index, double defaultValue) {
  return ArrayItemExists(value, index) ? VarToDouble(*ArrayElement(value, index)) : defaultValue;
}

double GetArrayItemDate(const OleVariant& value, int32_t index) {
  return ArrayItemExists(value, index) ? VarToDouble(*ArrayElement(value, index)) : NowAsDateTime();
}

std::string DataTypeName(TDataType valueType) {
  switch (valueType) {
    case dtNumber:
      return "Number";
    case dtString:
      return "String";
    case dtDateTime:
      return "Date";
    case dtBoolean:
      return "Boolean";
  }
  return "";
}

OleVariant TextToSettingValue(TDataType valueType, const std::string& text) {
  switch (valueType) {
    case dtNumber:
      return OleVariant::Double(TryStrToFloat(text).value_or(0.0));
    case dtDateTime: {
      if (const auto dateTime = TryStrToDateTime(text)) return OleVariant::Date(*dateTime);
      return OleVariant::Text(text);
    }
    case dtBoolean:
      return OleVariant::Boolean(SameNameAscii(text, "TRUE"));
    case dtString:
      break;
  }
  return OleVariant::Text(text);
}

std::string IncludeTrailingPathDelimiter(const std::string& path) {
  if (!path.empty() && path.back() == platform::kPathDelimiter) return path;
  return path + platform::kPathDelimiter;
}

std::string ExtractFileNameWithoutExtension(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.erase(dot);
  return name;
}

std::string ExtractFileDir(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string GetSpecialFolder(int folderId) {
  platform::Env& env = platform::Env::Current();
  std::string folder = env.SpecialFolderPath(folderId);
  if (folder.empty()) folder = env.SpecialFolderPath(platform::kFolderUserAppData);
  if (folder.empty()) throw EOSError("Не удалось определить папку данных приложений");
  return IncludeTrailingPathDelimiter(folder);
}

std::string GetCommonAppDataFolder() {
  return GetSpecialFolder(platform::kFolderCommonAppData);
}

std::string GetModuleFilePath() {
  return platform::Env::Current().ModuleFilePath();
}

bool DirectoryExists(const std::string& path) {
  return platform::Env::Current().DirectoryExists(path);
}

void ForceDirectories(const std::string& path) {
  const platform::OsResult result = platform::Env::Current().ForceDirectories(path);
  if (!result.ok() && !result.refused()) throw EOSError(result.message());
}

void GrantEveryoneFullAccess(const std::string& folder) {
  const platform::OsResult result = platform::Env::Current().GrantEveryoneFullAccess(folder);
  if (!result.ok() && !result.refused()) throw EOSError(result.message());
}

void PrepareSharedLogFolder(const std::string& folder) {
  if (DirectoryExists(folder)) return;
  ForceDirectories(folder);
  GrantEveryoneFullAccess(folder);
}

ILog* GetLogSink() {
  return logSink;
}

void SetLogSink(ILog* sink) {
  logSink = sink;
}

}  // namespace tallowmer
