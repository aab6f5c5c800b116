#include "core/com/ComVariant.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "common/Exceptions.h"
#include "common/Unicode.h"
#include "common/VariantConvert.h"
#include "common/uEquipmentErrors.h"
#include "core/com/ComDispatch.h"
#include "core/com/ComHandles.h"

namespace tallowmer::com {
namespace {

// Visits every index vector of an array, the first dimension varying fastest, which is also the
// order of the elements in memory.
template <typename Visit>
void ForEachIndex(const std::vector<SafeArray::Bound>& bounds, Visit visit) {
  if (bounds.empty()) return;
  for (const SafeArray::Bound& bound : bounds) {
    if (bound.count == 0) return;
  }
  std::vector<LONG> indices;
  std::vector<int32_t> steps(bounds.size(), 0);
  for (const SafeArray::Bound& bound : bounds) indices.push_back(bound.lower);
  while (true) {
    visit(indices.data());
    size_t d = 0;
    // Steps count from 0, so a dimension that ends at the largest index does not overflow.
    for (; d < bounds.size(); ++d) {
      if (++steps[d] < bounds[d].count) {
        ++indices[d];
        break;
      }
      steps[d] = 0;
      indices[d] = bounds[d].lower;
    }
    if (d == bounds.size()) return;
  }
}

OleVariant FromScalar(VARTYPE type, const void* data);

[[noreturn]] void RefuseWriteBack() {
  throw EquException(kResultBadInput, GetResultDescription(kResultBadInput, ""));
}

constexpr uint64_t kMaxVisits = 1000000;

// The element type an array declares. Arrays made without FADF_HAVEVARTYPE (by
// SafeArrayAllocDescriptor, for one) have no stored type, and SafeArrayGetVartype refuses them;
// their feature flags, and else the type of the variant that holds them, say what they hold.
VARTYPE DeclaredElementType(SAFEARRAY* array, VARTYPE holderType) {
  VARTYPE type = VT_EMPTY;
  if (SUCCEEDED(::SafeArrayGetVartype(array, &type))) return type;
  if ((array->fFeatures & FADF_VARIANT) != 0) return VT_VARIANT;
  if ((array->fFeatures & FADF_BSTR) != 0) return VT_BSTR;
  if ((array->fFeatures & FADF_DISPATCH) != 0) return VT_DISPATCH;
  if ((array->fFeatures & FADF_UNKNOWN) != 0) return VT_UNKNOWN;
  return holderType;
}

// The element type of an array whose elements can be read into a VARIANT, else VT_EMPTY: the
// array's own description decides, and its element size must agree with it.
VARTYPE ReadableElementType(SAFEARRAY* array, VARTYPE holderType) {
  const VARTYPE type = DeclaredElementType(array, holderType);
  const ULONG size = ElementSize(type);
  if (size == 0 || size != ::SafeArrayGetElemsize(array)) return VT_EMPTY;
  return type;
}

std::string TypeText(VARTYPE type) {
  return "типа " + VarTypeName(static_cast<VarType>(type));
}

// Holds an array locked while its elements are read where they lie, so that nothing the read calls
// can free them meanwhile.
class ArrayLock {
 public:
  explicit ArrayLock(SAFEARRAY* array) : array_(SUCCEEDED(::SafeArrayLock(array)) ? array : nullptr) {}
  ArrayLock(const ArrayLock&) = delete;
  ArrayLock& operator=(const ArrayLock&) = delete;
  ~ArrayLock() {
    if (array_ != nullptr) ::SafeArrayUnlock(array_);
  }
  bool Held() const { return array_ != nullptr; }

 private:
  SAFEARRAY* array_;
};

// Reads one host value. Arrays may hold variants that refer back to an array being read, or nest
// without end: the reader keeps the arrays it is inside of, counts the levels, and spends the
// call's budget of elements and links, and refuses such input instead of recursing until the stack
// is gone. It never asks the system to copy an element: the system's copies recurse through nested
// arrays before any limit of ours applies.
class HostValueReader {
 public:
  HostValueReader(ReadNotes& notes, ReadBudget& budget) : notes_(notes), budget_(budget) {}

  OleVariant Read(const VARIANT& input) {
    const VARIANT* link = &input;
    for (int links = 0; link->vt == (VT_BYREF | VT_VARIANT); ++links) {
      // A run of links that loops reads as empty, as a chain too long to be meant.
      if (link->pvarVal == nullptr || links == kMaxLinks) return Lost();
      budget_.Spend(1);
      link = link->pvarVal;
    }
    const VARIANT& value = *link;
    const VARTYPE type = value.vt;
    if ((type & VT_ARRAY) != 0) {
      SAFEARRAY* array = (type & VT_BYREF) == 0     ? value.parray
                         : value.pparray != nullptr ? *value.pparray
                                                    : nullptr;
      return ReadArray(array, type & VT_TYPEMASK);
    }
    if ((type & VT_BYREF) != 0) {
      if (value.byref == nullptr) return Lost();
      return ReadScalar(type & VT_TYPEMASK, value.byref);
    }
    if (type == VT_DECIMAL) return ReadScalar(VT_DECIMAL, &value.decVal);
    return ReadScalar(type, &value.llVal);
  }

 private:
  static constexpr int kMaxLinks = 64;
  static constexpr size_t kMaxDepth = 64;

  OleVariant Lost() {
    notes_.lossy = true;
    return OleVariant();
  }

  OleVariant ReadArray(SAFEARRAY* array, VARTYPE holderType) {
    if (array == nullptr) return OleVariant::Array(nullptr);
    for (SAFEARRAY* open : path_) {
      if (open == array) throw UnreadableInput("массив содержит ссылку на самого себя");
    }
    if (path_.size() == kMaxDepth) throw UnreadableInput("массивы вложены глубже 64 уровней");
    // Asked before the reader's own lock, which would count.
    const bool keepsDescriptor = KeepsItsDescriptor(array);
    path_.push_back(array);
    OleVariant result = ReadElements(array, holderType);
    path_.pop_back();
    result.ArrayValue()->SetFixedShape(keepsDescriptor);
    return result;
  }

  OleVariant ReadElements(SAFEARRAY* array, VARTYPE holderType) {
    const UINT dimensions = ::SafeArrayGetDim(array);
    std::vector<SafeArray::Bound> bounds;
    uint64_t count = dimensions == 0 ? 0 : 1;
    // The descriptor keeps its dimensions last first. Counts are read as they are stored: an upper
    // bound cannot express an empty dimension that starts at the smallest index.
    for (UINT d = 1; d <= dimensions; ++d) {
      const SAFEARRAYBOUND& stored = array->rgsabound[dimensions - d];
      const uint64_t extent = stored.cElements;
      bounds.push_back({static_cast<int32_t>(stored.lLbound), static_cast<int32_t>(extent)});
      // Saturates, so that many dimensions of 2^32 - 1 elements cannot wrap to a small count.
      count = count > kMaxVisits || extent > kMaxVisits ? kMaxVisits + 1 : count * extent;
    }
    // Spent before the portable array is made: each of its elements costs far more than its count.
    budget_.Spend(count);
    const VARTYPE elementType = ReadableElementType(array, holderType);
    auto result = std::make_unique<SafeArray>(bounds);
    const ArrayLock lock(array);
    size_t position = 0;
    ForEachIndex(bounds, [&](LONG* indices) {
      result->Elements()[position++] = lock.Held() ? ReadElement(array, elementType, indices) : Lost();
    });
    return OleVariant::Array(std::move(result));
  }

  OleVariant ReadElement(SAFEARRAY* array, VARTYPE elementType, LONG* indices) {
    void* slot = nullptr;
    if (elementType == VT_EMPTY || FAILED(::SafeArrayPtrOfIndex(array, indices, &slot)) || slot == nullptr)
      return Lost();
    if (elementType == VT_VARIANT) return Read(*static_cast<const VARIANT*>(slot));
    return ReadScalar(elementType, slot);
  }

  // Values the portable model holds only in part are noted, so that the host gets back what it
  // passed where the call did not change them.
  OleVariant ReadScalar(VARTYPE type, const void* data) {
    switch (type) {
      case VT_BSTR:
        if (::SysStringByteLen(*static_cast<const BSTR*>(data)) % 2 != 0) notes_.lossy = true;
        break;
      case VT_DECIMAL:
        notes_.lossy = true;
        break;
      case VT_UNKNOWN:
        if (!HasDispatchFace(*static_cast<IUnknown* const*>(data))) notes_.lossy = true;
        break;
      default:
        if (!IsModelled(type)) notes_.lossy = true;
        break;
    }
    return FromScalar(type, data);
  }

  static bool HasDispatchFace(IUnknown* unknown) {
    if (unknown == nullptr) return true;
    ComPtr<::IDispatch> dispatch;
    return SUCCEEDED(unknown->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(dispatch.put())));
  }

  static bool IsModelled(VARTYPE type) {
    return type == VT_EMPTY || ElementSize(type) != 0 || type == VT_NULL;
  }

  ReadNotes& notes_;
  ReadBudget& budget_;
  std::vector<SAFEARRAY*> path_;
};

OleVariant FromScalar(VARTYPE type, const void* data) {
  switch (type) {
    case VT_EMPTY:
      return OleVariant();
    case VT_NULL:
      return OleVariant::Null();
    case VT_I1:
      return OleVariant::Int8(*static_cast<const int8_t*>(data));
    case VT_UI1:
      return OleVariant::Byte(*static_cast<const uint8_t*>(data));
    case VT_I2:
      return OleVariant::Int16(*static_cast<const int16_t*>(data));
    case VT_UI2:
      return OleVariant::Word(*static_cast<const uint16_t*>(data));
    case VT_I4:
      return OleVariant::Int32(*static_cast<const int32_t*>(data));
    case VT_UI4:
      return OleVariant::LongWord(*static_cast<const uint32_t*>(data));
    case VT_INT:
      return OleVariant::MachineInt(*static_cast<const int32_t*>(data));
    case VT_UINT:
      return OleVariant::MachineUInt(*static_cast<const uint32_t*>(data));
    case VT_I8:
      return OleVariant::Int64(*static_cast<const int64_t*>(data));
    case VT_UI8:
      return OleVariant::UInt64(*static_cast<const uint64_t*>(data));
    case VT_R4:
      return OleVariant::Single(*static_cast<const float*>(data));
    case VT_R8:
      return OleVariant::Double(*static_cast<const double*>(data));
    case VT_DATE:
      return OleVariant::Date(*static_cast<const double*>(data));
    case VT_CY:
      return OleVariant::FromCurrency(Currency{static_cast<const CY*>(data)->int64});
    case VT_BOOL:
      return OleVariant::Boolean(*static_cast<const VARIANT_BOOL*>(data) != VARIANT_FALSE);
    case VT_ERROR:
      return OleVariant::Error(*static_cast<const SCODE*>(data));
    case VT_BSTR:
      return OleVariant::Wide(FromBstr(*static_cast<const BSTR*>(data)));
    case VT_DISPATCH:
      return OleVariant::Dispatch(FromComDispatch(*static_cast<::IDispatch* const*>(data)));
    case VT_UNKNOWN: {
      IUnknown* unknown = *static_cast<IUnknown* const*>(data);
      ComPtr<::IDispatch> dispatch;
      if (unknown != nullptr)
        unknown->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(dispatch.put()));
      return OleVariant::Unknown(FromComDispatch(dispatch.get()));
    }
    case VT_DECIMAL: {
      double value = 0;
      ::VarR8FromDec(const_cast<DECIMAL*>(static_cast<const DECIMAL*>(data)), &value);
      return OleVariant::Double(value);
    }
    default:
      return OleVariant();
  }
}

}  // namespace

UnreadableInput::UnreadableInput(std::string reason)
    : EquException(kResultBadInput, GetResultDescription(kResultBadInput, "") + ": " + reason),
      reason_(std::move(reason)) {}

void ReadBudget::Spend(uint64_t count) {
  spent_ += count;
  if (spent_ > kMaxVisits) throw UnreadableInput("в аргументах вызова больше 1000000 элементов и ссылок");
}

// The size an element of the type takes in an array, or 0 for types that are not read here.
ULONG ElementSize(VARTYPE type) {
  switch (type) {
    case VT_I1:
    case VT_UI1:
      return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
      return 2;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_R4:
    case VT_ERROR:
      return 4;
    case VT_I8:
    case VT_UI8:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
      return 8;
    case VT_BSTR:
    case VT_DISPATCH:
    case VT_UNKNOWN:
      return sizeof(void*);
    case VT_DECIMAL:
      return sizeof(DECIMAL);
    case VT_VARIANT:
      return sizeof(VARIANT);
    default:
      return 0;
  }
}

bool KeepsItsDescriptor(const SAFEARRAY* array) {
  constexpr USHORT kNotFreeable = FADF_AUTO | FADF_STATIC | FADF_EMBEDDED | FADF_FIXEDSIZE;
  return array != nullptr && ((array->fFeatures & kNotFreeable) != 0 || array->cLocks > 0);
}

std::string HolderMismatch(SAFEARRAY* array, VARTYPE holderType) {
  if (array == nullptr) return {};
  const VARTYPE declared = DeclaredElementType(array, holderType);
  if (declared != holderType) {
    return "массив элементов " + TypeText(declared) + " передан ссылкой на массив элементов " +
           TypeText(holderType);
  }
  const ULONG size = ::SafeArrayGetElemsize(array);
  if (size != ElementSize(holderType)) {
    return "размер элемента массива (" + std::to_string(size) + ") не равен размеру элемента " +
           TypeText(holderType) + " (" + std::to_string(ElementSize(holderType)) + ")";
  }
  return {};
}

VARTYPE ArrayElementType(SAFEARRAY* array, VARTYPE holderType) {
  return ReadableElementType(array, holderType);
}

std::u16string FromBstr(BSTR value) {
  if (value == nullptr) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(value), ::SysStringLen(value));
}

BSTR ToBstr(const std::u16string& value) {
  return ::SysAllocStringLen(reinterpret_cast<const OLECHAR*>(value.data()), static_cast<UINT>(value.size()));
}

SAFEARRAY* ToSafeArray(const SafeArray& array, VARTYPE elementType) {
  std::vector<UniqueVariant> elements = ToElements(array, elementType);
  std::vector<SAFEARRAYBOUND> bounds;
  for (const SafeArray::Bound& bound : array.Bounds()) {
    bounds.push_back({static_cast<ULONG>(bound.count), static_cast<LONG>(bound.lower)});
  }
  UniqueSafeArray result(::SafeArrayCreate(elementType, static_cast<UINT>(bounds.size()),
                                           bounds.empty() ? nullptr : bounds.data()));
  if (!result) throw EOleException("Не удалось создать массив");
  PutElements(elements, array.Bounds(), elementType, result.get());
  return result.release();
}

std::vector<UniqueVariant> ToElements(const SafeArray& array, VARTYPE elementType) {
  std::vector<UniqueVariant> elements(array.Elements().size());
  for (size_t i = 0; i < elements.size(); ++i) {
    ToComVariant(array.Elements()[i], elements[i].put());
    if (elementType != VT_VARIANT && elements[i].get()->vt != elementType) RefuseWriteBack();
  }
  return elements;
}

void PutElements(std::vector<UniqueVariant>& elements, const std::vector<SafeArray::Bound>& bounds,
                 VARTYPE elementType, SAFEARRAY* target) {
  // Never past an element's end: a caller that did not check gets nothing written (the prepared
  // elements are released with their owners) rather than a heap overrun.
  if (::SafeArrayGetElemsize(target) != ElementSize(elementType)) return;
  ::SafeArrayLock(target);
  size_t position = 0;
  ForEachIndex(bounds, [&](LONG* indices) {
    VARIANT value = elements[position++].release();
    void* slot = nullptr;
    if (FAILED(::SafeArrayPtrOfIndex(target, indices, &slot))) {
      ClearVariant(value);
      return;
    }
    // The converted value moves into its slot, and what the slot held is released.
    switch (elementType) {
      case VT_VARIANT:
        ClearVariant(*static_cast<VARIANT*>(slot));
        *static_cast<VARIANT*>(slot) = value;
        break;
      case VT_BSTR:
        ::SysFreeString(*static_cast<BSTR*>(slot));
        *static_cast<BSTR*>(slot) = value.bstrVal;
        break;
      case VT_DISPATCH:
      case VT_UNKNOWN: {
        IUnknown*& object = *static_cast<IUnknown**>(slot);
        if (object != nullptr) object->Release();
        object = value.punkVal;
        break;
      }
      default:
        std::memcpy(slot, &value.llVal, std::min<size_t>(::SafeArrayGetElemsize(target), sizeof value.llVal));
        break;
    }
  });
  ::SafeArrayUnlock(target);
}

OleVariant FromComVariant(const VARIANT& input) {
  ReadNotes notes;
  return FromComVariant(input, notes);
}

OleVariant FromComVariant(const VARIANT& input, ReadNotes& notes) {
  ReadBudget budget;
  return FromComVariant(input, notes, budget);
}

OleVariant FromComVariant(const VARIANT& input, ReadNotes& notes, ReadBudget& budget) {
  return HostValueReader(notes, budget).Read(input);
}

void ToComVariant(const OleVariant& input, VARIANT* target) {
  const OleVariant value = input.Resolved().Dereferenced();
  ::VariantInit(target);
  if (value.IsArray()) {
    target->parray = value.ArrayValue() != nullptr ? ToSafeArray(*value.ArrayValue(), VT_VARIANT) : nullptr;
    target->vt = VT_ARRAY | VT_VARIANT;
    return;
  }
  switch (value.Type()) {
    case varEmpty:
      break;
    case varNull:
      target->vt = VT_NULL;
      break;
    case varShortInt:
      target->vt = VT_I1;
      target->cVal = static_cast<CHAR>(value.IntegerValue());
      break;
    case varByte:
      target->vt = VT_UI1;
      target->bVal = static_cast<BYTE>(value.IntegerValue());
      break;
    case varSmallint:
      target->vt = VT_I2;
      target->iVal = static_cast<SHORT>(value.IntegerValue());
      break;
    case varWord:
      target->vt = VT_UI2;
      target->uiVal = static_cast<USHORT>(value.IntegerValue());
      break;
    case varInteger:
      target->vt = VT_I4;
      target->lVal = static_cast<LONG>(value.IntegerValue());
      break;
    case varLongWord:
      target->vt = VT_UI4;
      target->ulVal = static_cast<ULONG>(value.IntegerValue());
      break;
    case varInt64:
      target->vt = VT_I8;
      target->llVal = value.IntegerValue();
      break;
    case varUInt64:
      target->vt = VT_UI8;
      target->ullVal = value.UnsignedValue();
      break;
    case varSingle:
      target->vt = VT_R4;
      target->fltVal = value.SingleValue();
      break;
    case varDouble:
      target->vt = VT_R8;
      target->dblVal = value.DoubleValue();
      break;
    case varDate:
      target->vt = VT_DATE;
      target->date = value.DoubleValue();
      break;
    case varCurrency:
      target->vt = VT_CY;
      target->cyVal.int64 = value.CurrencyValue().value;
      break;
    case varBoolean:
      target->vt = VT_BOOL;
      target->boolVal = value.BooleanValue() ? VARIANT_TRUE : VARIANT_FALSE;
      break;
    case varError:
      target->vt = VT_ERROR;
      target->scode = static_cast<SCODE>(value.IntegerValue());
      break;
    case varOleStr:
      target->vt = VT_BSTR;
      target->bstrVal = ToBstr(value.WideValue());
      break;
    case varString: {
      target->vt = VT_BSTR;
      target->bstrVal = ToBstr(Utf8ToUtf16(value.AnsiValue()));
      break;
    }
    case varDispatch:
      target->vt = VT_DISPATCH;
      target->pdispVal = ToComDispatch(value.DispatchValue());
      break;
    case varUnknown:
      target->vt = VT_UNKNOWN;
      target->punkVal = ToComDispatch(value.DispatchValue());
      break;
    case varInt:
      target->vt = VT_INT;
      target->intVal = static_cast<INT>(value.IntegerValue());
      break;
    case varUInt:
      target->vt = VT_UINT;
      target->uintVal = static_cast<UINT>(value.IntegerValue());
      break;
    default:
      break;
  }
}

::IDispatch* ToComDispatch(const DispatchPtr& value) {
  if (!value) return nullptr;
  if (auto* host = dynamic_cast<HostDispatch*>(value.get())) {
    ::IDispatch* original = host->Original();
    original->AddRef();
    return original;
  }
  return new ComDispatchObject(value);
}

DispatchPtr FromComDispatch(::IDispatch* value) {
  if (value == nullptr) return DispatchPtr();
  return DispatchPtr::Attach(new HostDispatch(value));
}

}  // namespace tallowmer::com
