#pragma once

// TBaseObject: the base of every driver object. It keeps the registry of host-callable methods
// and carries out late-bound calls (GetIDsOfNames + Invoke), keeps the settings registry with its
// exchange table, and writes the debug log with the trace of every call.

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "common/Dispatch.h"
#include "common/OleVariant.h"
#include "common/uCommonUtils.h"
#include "common/uEquipmentErrors.h"

namespace tallowmer {

// Public methods take the three standard arguments and return a result code (0 = success).
using TPublicMethod = std::function<int32_t(OleVariant& inData, OleVariant& outData, int32_t timeOut,
                                            std::string& resultDescription)>;
// Private methods take the whole parameter array (element 0 = first argument) and return the call result.
using TPrivateMethod = std::function<OleVariant(SafeArray& params)>;
using TExtMethod =
    std::function<int32_t(const std::string& methodName, OleVariant& inData, OleVariant& outData,
                          int32_t timeOut, std::string& resultDescription)>;

struct TMethodStruct {
  std::string Name;
  bool IsPublic = false;
  bool IsSpecific = false;
  // Only the one selected by IsPublic is set.
  TPrivateMethod PrivateMethod;
  TPublicMethod PublicMethod;
};

struct TSettingStruct {
  std::string ID;
  OleVariant Value;
  TDataType ValueType = dtString;
  OleVariant Default;
  bool ReadOnly = false;
  std::string Name;
  std::string Description;
};

struct TShortSettingStruct {
  std::string ID;
  OleVariant Value;
};

// Identifiers at or above this are refused without looking at the registry.
inline constexpr DispID kMaxDispId = 100000;
// Extension identifiers start here.
inline constexpr DispID kExtDispIdBase = 0xFFFF;

class TBaseObject : public IDispatch {
 public:
  TBaseObject();
  TBaseObject(const TBaseObject&) = delete;
  TBaseObject& operator=(const TBaseObject&) = delete;
  virtual ~TBaseObject();

  // Runs once after construction, before the object is handed out.
  virtual void Initialize();
  // Runs when the last reference goes, before destruction, while virtual calls still reach the
  // most derived class.
  virtual void BeforeDestruction() {}

  uint32_t AddRef() override;
  uint32_t Release() override;
  HRESULT GetTypeInfoCount(uint32_t* count) override;
  HRESULT GetIDsOfNames(const char16_t* const* names, uint32_t nameCount, DispID* dispIds) override;
  HRESULT Invoke(DispID dispId, uint16_t flags, DispParams& params, OleVariant* result,
                 ExcepInfo* excepInfo) override;

  int32_t FindMethodID(const std::string& name);
  HRESULT CallMethod(DispID dispId, OleVariant& result, SafeArray& params);
  virtual std::string GetDriverResultDescription(int32_t resultCode);

  const std::vector<TMethodStruct>& Methods() const { return FMethodList; }
  const std::string& InstanceID() const { return FInstanceID; }

  // Settings registry.
  OleVariant GetSettingValue(const std::string& id, bool isDefault = false) const;
  bool GetSettingValueBool(const std::string& id) const;
  int32_t GetSettingValueInt(const std::string& id) const;
  Currency GetSettingValueCurr(const std::string& id) const;
  double GetSettingValueDbl(const std::string& id) const;
  double GetSettingValueDate(const std::string& id) const;
  std::string GetSettingValueStr(const std::string& id) const;
  // A setting whose values are kept out of the debug log and shown masked on screen.
  bool IsSecretSetting(const std::string& id) const;
  // The setting's value as the debug log shows it: "***" for a secret one that holds a value.
  std::string SettingLogText(const TSettingStruct& setting) const;
  bool GetSettingReadOnly(const std::string& id) const;
  void SetSettingValue(const std::string& id, const OleVariant& value);
  void SetAllSettingsDefault();
  const std::vector<TSettingStruct>& SettingList() const { return FSettingList; }
  // The seven-row table [row, column] with one column per setting, in registry order.
  OleVariant BuildSettingsTable() const;
  // Takes row 1 of every column whose row-0 ID names a setting; other columns are skipped.
  void ApplySettingsTable(const OleVariant& table);
  // Why the table cannot be taken: the refusal of the first value that is longer than its setting's
  // limit; empty when every value fits.
  std::string RefusedSettingsTable(const OleVariant& table) const;

  // Debug log.
  bool DebugLogEnabled() const { return FDebugLogEnabled; }
  void SetDebugLogEnabled(bool value);
  void WriteDebugLog(const std::string& title, const std::string& text, bool titleOnly = false);
  // For lines written after work whose outcome already stands (a method that ran, a request the
  // service took): a line that cannot be written is counted instead of raised, and the failure is
  // reported as an "EXCEPTION" line in front of the next line that reaches the file.
  void WriteDebugLogAfterEffect(const std::string& title, const std::string& text) noexcept;

 protected:
  virtual void BeginDebugLog() {}

  void AddPrivateMethod(const std::string& name, TPrivateMethod method);
  void AddPublicMethod(const std::string& name, TPublicMethod method);
  void AddSpecificMethod(const std::string& name, TPublicMethod method);
  TMethodStruct& AddMethodEntry(const std::string& name);
  void SetExtMethodHandler(TExtMethod handler) { FOnExtMethod = std::move(handler); }

  void AddSetting(const std::string& id, TDataType valueType, const OleVariant& defaultValue, bool readOnly,
                  const std::string& name, const std::string& description);
  // The setting's value is written as "***" in the debug log wherever it stands as this setting's
  // value: in settings tables of the call trace and in the log's header.
  void MarkSecretSetting(const std::string& id);
  // A text setting's value may hold at most `maxCharacters` characters; a longer one is refused with
  // `refusal` (RefusedSettingsTable).
  void LimitSettingLength(const std::string& id, size_t maxCharacters, const std::string& refusal);
  const TSettingStruct* FindSettingEntry(const std::string& id) const;
  TSettingStruct* FindSettingEntry(const std::string& id);

  std::string FInstanceID;
  std::vector<TMethodStruct> FMethodList;
  std::vector<TSettingStruct> FSettingList;
  bool FDebugLogEnabled = false;
  std::string FDebugLogDir;

 private:
  HRESULT CallPublicMethod(const std::string& name, const TPublicMethod& method, const TExtMethod* extHandler,
                           OleVariant& result, SafeArray& params);
  HRESULT CallPrivateMethod(const std::string& name, const TPrivateMethod& method, OleVariant& result,
                            SafeArray& params);
  HRESULT ReportException(const char* className, const std::string& message, ExcepInfo* excepInfo,
                          int32_t scode = kResultUnknownError);
  // The call trace's rendering of a value: a settings table in it, however deep, shows a secret
  // setting's value as "***"; every other value stays as it is.
  std::string TraceText(const OleVariant& value) const;
  std::string TraceText(const SafeArray& params) const;
  bool HoldsSecretValue(const OleVariant& value) const;
  OleVariant WithSecretValuesMasked(const OleVariant& value) const;
  bool IsSecretCell(const SafeArray& table, int32_t column) const;

  std::string DebugLogLine(const std::string& title, const std::string& text, bool titleOnly) const;

  // Lines lost since the last one that was written, and why the last of them failed.
  uint32_t FLostDebugLines = 0;
  std::string FLostDebugLineError;
  std::vector<std::string> FSecretSettingIds;
  struct LengthLimit {
    std::string id;
    size_t maxCharacters;
    std::string refusal;
  };
  std::vector<LengthLimit> FSettingLengthLimits;
  std::vector<std::string> FExtMethodList;
  OleVariant FExtData;
  TExtMethod FOnExtMethod;
  std::atomic<uint32_t> refCount_{1};
};

// The default debug-log folder: <common application data>/<module name>/, created and opened to
// every user each time it is resolved.
std::string GetDefaultDebugLogDir();

// A new GUID in registry form: {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, upper case.
std::string NewGuidString();

}  // namespace tallowmer
