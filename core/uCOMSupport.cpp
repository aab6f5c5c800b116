#include "core/uCOMSupport.h"

#include <limits>
#include <random>

#include "common/Exceptions.h"
#include "common/Unicode.h"
#include "common/VariantConvert.h"
#include "common/uEquipmentErrors.h"

namespace tallowmer {
namespace {

// The argument as the method sees it: references followed, 16-bit integers widened.
OleVariant CopyArgument(const OleVariant& argument) {
  OleVariant copy = argument.Resolved().Dereferenced();
  if (copy.Type() == varSmallint) return OleVariant::Int32(static_cast<int32_t>(copy.IntegerValue()));
  return copy;
}

[[noreturn]] void UnsupportedWriteBackTarget() {
  throw EquException(kResultBadInput, GetResultDescription(kResultBadInput, ""));
}

template <typename T>
T& TargetSlot(const OleVariant& target) {
  if (target.RefTarget() == nullptr) UnsupportedWriteBackTarget();
  return *static_cast<T*>(target.RefTarget());
}

// The kinds a by-reference argument may hold for the write-back to store into it; array variables
// take the same element kinds, and variants.
bool IsStorableKind(VarType kind) {
  switch (kind) {
    case varSmallint:
    case varWord:
    case varInteger:
    case varLongWord:
    case varByte:
    case varSingle:
    case varDouble:
    case varDate:
    case varCurrency:
    case varOleStr:
    case varDispatch:
    case varBoolean:
      return true;
    default:
      return false;
  }
}

// Where a public method's OutData stands in call order, counted from 1.
constexpr uint32_t kOutDataPosition = 2;

std::string KindName(VarType kind) {
  return kind == varOther ? "неизвестного типа" : "типа " + VarTypeName(kind);
}

constexpr const char* kKeptArrayReason =
    "массив постоянного размера или заблокированный массив нельзя заменить результатом метода";

bool HoldsFixedArray(const SafeArray* array) {
  return array != nullptr && array->FixedShape();
}

// Why the write-back could not honour a by-reference argument, or empty when it can. `replaced`:
// the method may leave another value in it. A typed reference is not refused for what the method
// may leave: a host's Long or String variable takes the Empty of a successful Enable, and what a
// call leaves depends on its outcome.
std::string WriteBackRefusal(const OleVariant& argument, bool replaced) {
  if (!argument.IsByRef()) return {};
  const OleVariant& target = argument.Resolved();
  if (!target.IsByRef()) {
    if (replaced && target.IsArray() && HoldsFixedArray(target.ArrayValue())) return kKeptArrayReason;
    return {};
  }
  if (target.RefTarget() == nullptr) return "ссылка не указывает на значение";
  if (target.IsArrayRef()) {
    const VarType elementType = target.RefType() & varTypeMask;
    if (elementType != varVariant && !IsStorableKind(elementType))
      return "в массив элементов " + KindName(elementType) + " нельзя записать результат";
    if (replaced && HoldsFixedArray(static_cast<const SafeArrayPtr*>(target.RefTarget())->get()))
      return kKeptArrayReason;
    return {};
  }
  if (!IsStorableKind(target.RefType()))
    return "в ссылку на значение " + KindName(target.RefType()) + " нельзя записать результат";
  return {};
}

// The first argument the write-back could not honour, with its place and the reason, or empty.
// Checked before the method runs: a method whose outcome cannot reach the host must not run.
std::string ArgumentsRefusal(const DispParams& params, bool isPublic) {
  for (uint32_t position = 1; position <= params.count; ++position) {
    // A public method only reads InData, the time-out and further arguments, and replaces OutData;
    // a private one may replace any element of its array.
    const bool replaced = !isPublic || position == kOutDataPosition;
    const std::string reason = WriteBackRefusal(params.args[params.count - position], replaced);
    if (!reason.empty()) {
      return GetResultDescription(kResultBadInput, "") + ": аргумент " + std::to_string(position) + ": " +
             reason;
    }
  }
  return {};
}

// A host's unsigned 32-bit slot takes what 32 bits hold, signed or not: its own values of 2^31 and
// more must come back as they went, and a negative one keeps its bits.
uint32_t StoredIn32Bits(const OleVariant& element) {
  const int64_t value = VarToInt64(element);
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<uint32_t>::max()) {
    throw ERangeError("Значение " + std::to_string(value) + " вне допустимого диапазона типа LongWord");
  }
  return static_cast<uint32_t>(value);
}

// The element converted to what a slot of `kind` holds. Booleans come out as automation booleans;
// the 1 that typed boolean references receive is the caller's business.
OleVariant StoredAs(VarType kind, const OleVariant& element) {
  switch (kind) {
    case varVariant:
      return element.Dereferenced();
    case varSmallint:
      return OleVariant::Int16(static_cast<int16_t>(VarToInt32(element)));
    case varWord:
      return OleVariant::Word(static_cast<uint16_t>(VarToInt32(element)));
    case varInteger:
      return OleVariant::Int32(VarToInt32(element));
    case varLongWord:
      return OleVariant::LongWord(StoredIn32Bits(element));
    case varByte:
      return OleVariant::Byte(static_cast<uint8_t>(VarToInt32(element) & 0xFF));
    case varSingle:
      return OleVariant::Single(static_cast<float>(VarToDouble(element)));
    case varDouble:
      return OleVariant::Double(VarToDouble(element));
    case varDate:
      return OleVariant::Date(VarToDouble(element));
    case varCurrency:
      return OleVariant::FromCurrency(VarToCurrency(element));
    case varOleStr:
      return OleVariant::Wide(VarToWide(element));
    case varDispatch:
      return OleVariant::Dispatch(VarToDispatch(element));
    case varBoolean:
      return OleVariant::Boolean(VarToBool(element));
    default:
      UnsupportedWriteBackTarget();
  }
}

// A host's array variable takes an array element, each element converted to the variable's
// element kind; anything else cannot go into it.
SafeArrayPtr StoredArray(VarType elementType, const OleVariant& element) {
  const OleVariant plain = element.Dereferenced();
  // Empty leaves the variable without an array, as a variable that held none gets none back.
  if (plain.IsEmpty() || (plain.IsArray() && plain.ArrayValue() == nullptr)) return nullptr;
  if (!plain.IsArray()) UnsupportedWriteBackTarget();
  auto stored = std::make_unique<SafeArray>(plain.ArrayValue()->Bounds());
  const std::vector<OleVariant>& source = plain.ArrayValue()->Elements();
  for (size_t i = 0; i < source.size(); ++i) stored->Elements()[i] = StoredAs(elementType, source[i]);
  return stored;
}

// A fixed-size array takes only values into its elements; the check before the call keeps methods
// that would replace one from running, so this guards against a write-back nobody foresaw.
void RequireSameShape(const SafeArray* current, const SafeArray* written) {
  if (HoldsFixedArray(current) && (written == nullptr || !current->SameShape(*written)))
    UnsupportedWriteBackTarget();
}

// Stores an element into the caller's argument, converting it to the kind a typed reference holds.
// The element is the parameter array's, which goes right after: it is moved, not copied.
void WriteBack(OleVariant& argument, OleVariant&& element) {
  OleVariant& target = argument.Resolved();
  const OleVariant& source = element.Resolved();
  if (!target.IsByRef()) {
    if (target.IsArray())
      RequireSameShape(target.ArrayValue(), source.IsArray() ? source.ArrayValue() : nullptr);
    target = element.IsVariantRef() ? OleVariant(source) : std::move(element);
    return;
  }
  if (target.IsArrayRef()) {
    SafeArrayPtr stored = StoredArray(target.RefType() & varTypeMask, source);
    SafeArrayPtr& slot = TargetSlot<SafeArrayPtr>(target);
    RequireSameShape(slot.get(), stored.get());
    if (HoldsFixedArray(slot.get())) stored->SetFixedShape(true);
    slot = std::move(stored);
    return;
  }
  const OleVariant stored = StoredAs(target.RefType(), source);
  switch (target.RefType()) {
    case varSmallint:
    case varWord:
      TargetSlot<int16_t>(target) = static_cast<int16_t>(stored.IntegerValue());
      break;
    case varInteger:
      TargetSlot<int32_t>(target) = static_cast<int32_t>(stored.IntegerValue());
      break;
    case varLongWord:
      TargetSlot<uint32_t>(target) = static_cast<uint32_t>(stored.IntegerValue());
      break;
    case varByte:
      TargetSlot<uint8_t>(target) = static_cast<uint8_t>(stored.IntegerValue());
      break;
    case varSingle:
      TargetSlot<float>(target) = stored.SingleValue();
      break;
    case varDouble:
    case varDate:
      TargetSlot<double>(target) = stored.DoubleValue();
      break;
    case varCurrency:
      TargetSlot<Currency>(target) = stored.CurrencyValue();
      break;
    case varOleStr:
      TargetSlot<std::u16string>(target) = stored.WideValue();
      break;
    case varDispatch:
      TargetSlot<DispatchPtr>(target) = stored.DispatchValue();
      break;
    // Stored as 1, not -1: what hosts of this family read back from a typed boolean.
    case varBoolean:
      TargetSlot<int16_t>(target) = stored.BooleanValue() ? 1 : 0;
      break;
    default:
      UnsupportedWriteBackTarget();
  }
}

// The kinds a time-out may arrive in: whole numbers of fixed width and booleans.
bool IsTimeOutKind(VarType type) {
  switch (type) {
    case varShortInt:
    case varByte:
    case varSmallint:
    case varWord:
    case varInteger:
    case varLongWord:
    case varInt64:
    case varUInt64:
    case varBoolean:
      return true;
    default:
      return false;
  }
}

// Moves InData out of the parameter array for the call and back afterwards: public methods only
// read it, and receipts can be large.
class LentElement {
 public:
  LentElement(SafeArray& params, int32_t index) : slot_(ElementSlot(params, index)) {
    if (slot_ != nullptr) value_ = std::move(*slot_);
  }
  LentElement(const LentElement&) = delete;
  LentElement& operator=(const LentElement&) = delete;
  ~LentElement() {
    if (slot_ != nullptr) *slot_ = std::move(value_);
  }
  OleVariant& value() { return value_; }

 private:
  static OleVariant* ElementSlot(SafeArray& params, int32_t index) {
    return params.Contains(std::span<const int32_t>(&index, 1)) ? &params.At(index) : nullptr;
  }

  OleVariant* slot_;
  OleVariant value_;
};

OleVariant ElementOrEmpty(const SafeArray& params, int32_t index) {
  return params.Contains(std::span<const int32_t>(&index, 1)) ? params.At(index) : OleVariant();
}

}  // namespace

TBaseObject::TBaseObject() = default;

TBaseObject::~TBaseObject() = default;

void TBaseObject::Initialize() {
  FExtMethodList.clear();
  FInstanceID = NewGuidString();
}

uint32_t TBaseObject::AddRef() {
  return ++refCount_;
}

uint32_t TBaseObject::Release() {
  const uint32_t remaining = --refCount_;
  if (remaining == 0) {
    BeforeDestruction();
    delete this;
  }
  return remaining;
}

HRESULT TBaseObject::GetTypeInfoCount(uint32_t* count) {
  if (count == nullptr) return hrInvalidArg;
  *count = 0;
  return hrOk;
}

void TBaseObject::AddPrivateMethod(const std::string& name, TPrivateMethod method) {
  TMethodStruct& entry = AddMethodEntry(name);
  entry.IsPublic = false;
  entry.IsSpecific = false;
  entry.PrivateMethod = std::move(method);
  entry.PublicMethod = nullptr;
}

void TBaseObject::AddPublicMethod(const std::string& name, TPublicMethod method) {
  TMethodStruct& entry = AddMethodEntry(name);
  entry.IsPublic = true;
  entry.IsSpecific = false;
  entry.PublicMethod = std::move(method);
  entry.PrivateMethod = nullptr;
}

void TBaseObject::AddSpecificMethod(const std::string& name, TPublicMethod method) {
  AddPublicMethod(name, std::move(method));
  AddMethodEntry(name).IsSpecific = true;
}

TMethodStruct& TBaseObject::AddMethodEntry(const std::string& name) {
  for (TMethodStruct& entry : FMethodList) {
    if (SameNameAscii(entry.Name, name)) return entry;
  }
  FMethodList.push_back(TMethodStruct{name, false, false, nullptr, nullptr});
  return FMethodList.back();
}

int32_t TBaseObject::FindMethodID(const std::string& name) {
  for (size_t i = 0; i < FMethodList.size(); ++i) {
    if (SameNameAscii(FMethodList[i].Name, name)) return static_cast<int32_t>(i);
  }
  if (!FOnExtMethod) return kDispIdUnknown;
  for (size_t i = 0; i < FExtMethodList.size(); ++i) {
    if (SameNameAscii(FExtMethodList[i], name)) return kExtDispIdBase + static_cast<int32_t>(i);
  }
  FExtMethodList.push_back(name);
  return kExtDispIdBase + static_cast<int32_t>(FExtMethodList.size() - 1);
}

HRESULT TBaseObject::GetIDsOfNames(const char16_t* const* names, uint32_t, DispID* dispIds) {
  if (names == nullptr || names[0] == nullptr || dispIds == nullptr) return hrInvalidArg;
  const int32_t id = FindMethodID(Utf16ToUtf8(names[0]));
  dispIds[0] = id;
  return id >= 0 ? hrOk : hrNotImpl;
}

std::string TBaseObject::GetDriverResultDescription(int32_t resultCode) {
  return GetResultDescription(resultCode, "");
}

HRESULT TBaseObject::ReportException(const char* className, const std::string& message, ExcepInfo* excepInfo,
                                     int32_t scode) {
  if (excepInfo != nullptr) {
    excepInfo->scode = scode;
    excepInfo->description = Utf8ToUtf16(message);
    excepInfo->source = Utf8ToUtf16(className);
  }
  // The host already has the first failure; a log that cannot take this line changes nothing.
  WriteDebugLogAfterEffect("EXCEPTION", std::string(className) + ": " + message);
  return hrDispException;
}

HRESULT TBaseObject::Invoke(DispID dispId, uint16_t flags, DispParams& params, OleVariant* result,
                            ExcepInfo* excepInfo) {
  if (dispId >= kMaxDispId || (flags & dispatchMethod) == 0) return hrFail;
  const bool isExtension = dispId >= kExtDispIdBase && FOnExtMethod &&
                           static_cast<size_t>(dispId - kExtDispIdBase) < FExtMethodList.size();
  if (!isExtension && (dispId < 0 || static_cast<size_t>(dispId) >= FMethodList.size())) return hrFail;
  if (params.count > 0 && params.args == nullptr) return hrInvalidArg;
  // The methods take their arguments by place only: a value passed by name would go nowhere, and
  // an OutData passed by name would never come back.
  if (params.namedCount > 0) return hrNoNamedArgs;
  const bool isPublic = isExtension || FMethodList[static_cast<size_t>(dispId)].IsPublic;

  HRESULT hr = hrOk;
  OleVariant callResult;
  try {
    const std::string refusal = ArgumentsRefusal(params, isPublic);
    if (!refusal.empty()) return ReportException("EquException", refusal, excepInfo, kResultBadInput);
    SafeArray paramArray({SafeArray::Bound{0, static_cast<int32_t>(params.count)}});
    for (uint32_t i = 0; i < params.count; ++i) {
      paramArray.At(static_cast<int32_t>(i)) = CopyArgument(params.args[params.count - 1 - i]);
    }
    hr = CallMethod(dispId, callResult, paramArray);
    if (hr == hrOk) {
      for (uint32_t i = 0; i < params.count; ++i) {
        WriteBack(params.args[params.count - 1 - i], std::move(paramArray.At(static_cast<int32_t>(i))));
      }
      if (result != nullptr) *result = std::move(callResult);
    }
  } catch (const Exception& error) {
    hr = ReportException(error.ClassName(), error.Message(), excepInfo);
  } catch (const std::exception& error) {
    hr = ReportException("Exception", error.what(), excepInfo);
  } catch (...) {
    hr = ReportException("Exception", GetResultDescription(kResultUnknownError, ""), excepInfo);
  }
  return hr;
}

HRESULT TBaseObject::CallMethod(DispID dispId, OleVariant& result, SafeArray& params) {
  if (dispId >= kExtDispIdBase && FOnExtMethod &&
      static_cast<size_t>(dispId - kExtDispIdBase) < FExtMethodList.size()) {
    const std::string name = FExtMethodList[static_cast<size_t>(dispId - kExtDispIdBase)];
    const TExtMethod handler = FOnExtMethod;
    return CallPublicMethod(name, TPublicMethod(), &handler, result, params);
  }
  if (dispId < 0 || static_cast<size_t>(dispId) >= FMethodList.size()) return hrFail;
  // Copies: a method may register further entries, which can move the registry.
  const TMethodStruct entry = FMethodList[static_cast<size_t>(dispId)];
  if (entry.IsPublic) return CallPublicMethod(entry.Name, entry.PublicMethod, nullptr, result, params);
  return CallPrivateMethod(entry.Name, entry.PrivateMethod, result, params);
}

HRESULT TBaseObject::CallPublicMethod(const std::string& name, const TPublicMethod& method,
                                      const TExtMethod* extHandler, OleVariant& result, SafeArray& params) {
  const bool logging = FDebugLogEnabled;
  LentElement inData(params, 0);
  OleVariant outData;
  const OleVariant timeOut = ElementOrEmpty(params, 2);
  FExtData = OleVariant();
  if (logging) WriteDebugLog("> " + name, "InData: " + TraceText(inData.value()));

  HRESULT hr = hrOk;
  if (!IsTimeOutKind(timeOut.Type())) {
    hr = hrInvalidArg;
  } else {
    std::string description;
    int32_t code = kResultOk;
    try {
      const int32_t timeOutValue = VarToInt32(timeOut);
      code = extHandler != nullptr ? (*extHandler)(name, inData.value(), outData, timeOutValue, description)
                                   : method(inData.value(), outData, timeOutValue, description);
    } catch (const Exception& error) {
      description = error.Message();
      code = kResultUnknownError;
    }
    if (code != kResultOk) {
      if (description.empty()) description = GetDriverResultDescription(code);
      outData = MakeResultArray(code, description, FExtData);
    }
    params.At(1) = outData;
    result = OleVariant::Boolean(code == kResultOk);
  }
  // The method has run: its outcome reaches the host whether or not the log takes this line.
  if (logging) {
    WriteDebugLogAfterEffect("< " + name,
                             "Result=" + VarToLogStr(result) + "; OutData: " + TraceText(outData));
  }
  return hr;
}

HRESULT TBaseObject::CallPrivateMethod(const std::string& name, const TPrivateMethod& method,
                                       OleVariant& result, SafeArray& params) {
  const bool logging = FDebugLogEnabled;
  if (logging) WriteDebugLog("> " + name, "Params: " + TraceText(params));
  try {
    result = method(params);
  } catch (const Exception& error) {
    WriteDebugLogAfterEffect("EXCEPTION", error.Message());
    throw;
  }
  // As for public methods: the method's outcome stands whether or not the log takes the line.
  if (logging) {
    WriteDebugLogAfterEffect("< " + name,
                             "Result=" + VarToLogStr(result) + "; Params: " + VarToLogStr(params));
  }
  return hrOk;
}

std::string NewGuidString() {
  static thread_local std::mt19937_64 generator{std::random_device{}()};
  uint64_t high = generator();
  uint64_t low = generator();
  high = (high & 0xFFFFFFFFFFFF0FFFULL) | 0x0000000000004000ULL;  // version 4
  low = (low & 0x3FFFFFFFFFFFFFFFULL) | 0x8000000000000000ULL;    // RFC 4122 variant
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "{%08X-%04X-%04X-%04X-%012llX}", static_cast<unsigned>(high >> 32),
                static_cast<unsigned>((high >> 16) & 0xFFFF), static_cast<unsigned>(high & 0xFFFF),
                static_cast<unsigned>(low >> 48), static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFULL));
  return buffer;
}

}  // namespace tallowmer
