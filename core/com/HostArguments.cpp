#include "core/com/HostArguments.h"

#include <cstring>
#include <string>

#include "common/Exceptions.h"
#include "common/uEquipmentErrors.h"
#include "core/com/ComHandles.h"
#include "core/com/ComVariant.h"

namespace tallowmer::com {
namespace {

[[noreturn]] void RefuseBadInput() {
  throw EquException(kResultBadInput, GetResultDescription(kResultBadInput, ""));
}

// An argument whose place in the host's memory the write-back could not honour; the message is the
// reason alone.
class UnwritableArgument : public Exception {
 public:
  using Exception::Exception;
};

// A reference for a by-reference slot of the host. Kinds the write-back stores into get a typed
// shadow; every other kind, and a slot without storage, gets a reference that reads the value and
// takes nothing back, so the portable side refuses the call instead of losing the result.
OleVariant BindReference(HostArgument& argument, const VARIANT& slot, ReadBudget& budget) {
  const VARTYPE kind = slot.vt & VT_TYPEMASK;
  if ((slot.vt & VT_ARRAY) != 0) {
    // The SAFEARRAY** is never read as anything but an array variable.
    if (slot.pparray == nullptr) return OleVariant::RefArray(nullptr, kind);
    // Elements are written in the holder's type: an array of another type or size would be
    // written past its elements' ends, or left with values it cannot hold.
    const std::string mismatch = HolderMismatch(*slot.pparray, kind);
    if (!mismatch.empty()) throw UnwritableArgument(mismatch);
    ReadNotes notes;
    OleVariant copy = FromComVariant(slot, notes, budget);
    if (copy.ArrayValue() != nullptr) argument.shadowArray = std::make_unique<SafeArray>(*copy.ArrayValue());
    if (notes.lossy) {
      argument.lossy = true;
      argument.asRead = std::move(copy);
    }
    return OleVariant::RefArray(&argument.shadowArray, kind);
  }
  void* data = slot.byref;
  if (data == nullptr) return OleVariant::RefOther(nullptr);
  switch (kind) {
    case VT_UI1:
      argument.shadowByte = *static_cast<uint8_t*>(data);
      return OleVariant::RefByte(&argument.shadowByte);
    case VT_I2:
      argument.shadowSmall = *static_cast<int16_t*>(data);
      return OleVariant::RefSmallint(&argument.shadowSmall);
    case VT_UI2:
      argument.shadowSmall = static_cast<int16_t>(*static_cast<uint16_t*>(data));
      return OleVariant::RefWord(reinterpret_cast<uint16_t*>(&argument.shadowSmall));
    case VT_I4:
      argument.shadowLong = *static_cast<uint32_t*>(data);
      return OleVariant::RefInteger(reinterpret_cast<int32_t*>(&argument.shadowLong));
    case VT_UI4:
      argument.shadowLong = *static_cast<uint32_t*>(data);
      return OleVariant::RefLongWord(&argument.shadowLong);
    case VT_R4:
      argument.shadowSingle = *static_cast<float*>(data);
      return OleVariant::RefSingle(&argument.shadowSingle);
    case VT_R8:
      argument.shadowDouble = *static_cast<double*>(data);
      return OleVariant::RefDouble(&argument.shadowDouble);
    case VT_DATE:
      argument.shadowDouble = *static_cast<double*>(data);
      return OleVariant::RefDate(&argument.shadowDouble);
    case VT_CY:
      argument.shadowCurrency.value = static_cast<CY*>(data)->int64;
      return OleVariant::RefCurrency(&argument.shadowCurrency);
    case VT_BOOL:
      argument.shadowSmall = *static_cast<VARIANT_BOOL*>(data);
      return OleVariant::RefBoolean(&argument.shadowSmall);
    case VT_BSTR:
      argument.shadowText = FromBstr(*static_cast<BSTR*>(data));
      return OleVariant::RefOleStr(&argument.shadowText);
    case VT_DISPATCH:
      argument.shadowDispatch = FromComDispatch(*static_cast<::IDispatch**>(data));
      return OleVariant::RefDispatch(&argument.shadowDispatch);
    default: {
      ReadNotes notes;
      argument.shadowVariant = FromComVariant(slot, notes, budget);
      return OleVariant::RefOther(&argument.shadowVariant);
    }
  }
}

bool SameValue(const OleVariant& left, const OleVariant& right);

bool SameArray(const SafeArray* left, const SafeArray* right) {
  if (left == nullptr || right == nullptr) return left == right;
  if (left->DimensionCount() != right->DimensionCount()) return false;
  for (int d = 1; d <= left->DimensionCount(); ++d) {
    if (left->LowBound(d) != right->LowBound(d) || left->HighBound(d) != right->HighBound(d)) return false;
  }
  for (size_t i = 0; i < left->Elements().size(); ++i) {
    if (!SameValue(left->Elements()[i], right->Elements()[i])) return false;
  }
  return true;
}

// Equal kind and equal bits: a NaN the call did not touch is the same value.
bool SameValue(const OleVariant& left, const OleVariant& right) {
  if (left.Type() != right.Type()) return false;
  if (left.IsArray()) return SameArray(left.ArrayValue(), right.ArrayValue());
  switch (left.Type()) {
    case varOleStr:
      return left.WideValue() == right.WideValue();
    case varString:
      return left.AnsiValue() == right.AnsiValue();
    case varDispatch:
    case varUnknown:
      return left.DispatchValue() == right.DispatchValue();
    case varSingle: {
      const float a = left.SingleValue();
      const float b = right.SingleValue();
      return std::memcmp(&a, &b, sizeof a) == 0;
    }
    default:
      return left.IntegerValue() == right.IntegerValue();
  }
}

bool SameShape(const SafeArray& value, SAFEARRAY* host) {
  if (host == nullptr || ::SafeArrayGetDim(host) != static_cast<UINT>(value.DimensionCount())) return false;
  for (int d = 1; d <= value.DimensionCount(); ++d) {
    LONG lower = 0;
    LONG upper = 0;
    ::SafeArrayGetLBound(host, static_cast<UINT>(d), &lower);
    ::SafeArrayGetUBound(host, static_cast<UINT>(d), &upper);
    if (lower != value.LowBound(d) || upper != value.HighBound(d)) return false;
  }
  return true;
}

// A variable holding an array the host has locked: any value stored into it would orphan the array.
bool HoldsLockedArray(const VARIANT& variable) {
  return (variable.vt & (VT_ARRAY | VT_BYREF)) == VT_ARRAY && variable.parray != nullptr &&
         variable.parray->cLocks > 0;
}

// The end of a chain of variant references; a chain that does not end (it loops) gives null.
VARIANT* EndOfChain(VARIANT& host) {
  constexpr int kMaxLinks = 64;
  VARIANT* link = &host;
  for (int links = 0; link->vt == (VT_BYREF | VT_VARIANT) && link->pvarVal != nullptr; ++links) {
    if (links == kMaxLinks) return nullptr;
    link = link->pvarVal;
  }
  return link;
}

// One write into the host's memory, made ready without touching it; Commit cannot fail.
class PreparedWrite {
 public:
  explicit PreparedWrite(HostArgument& argument) : argument_(argument), target_(*argument.target) {}

  void Prepare() {
    if ((target_.vt & VT_BYREF) == 0) {
      PrepareVariable();
    } else if ((target_.vt & VT_ARRAY) != 0) {
      PrepareArray();
    } else {
      PrepareTypedReference();
    }
  }

  void Commit() noexcept {
    switch (kind_) {
      case Kind::kNothing:
        break;
      case Kind::kVariable:
        ClearVariant(target_);
        target_ = value_.release();
        break;
      case Kind::kElements:
        PutElements(elements_, bounds_, elementType_, elementsTarget_);
        break;
      case Kind::kReplacement: {
        SAFEARRAY*& host = *target_.pparray;
        DestroyArray(host);
        host = replacement_.release();
        break;
      }
      case Kind::kTypedReference:
        CommitTypedReference();
        break;
    }
  }

 private:
  enum class Kind { kNothing, kVariable, kElements, kReplacement, kTypedReference };

  bool KeepsHostValue(const OleVariant& written) const {
    return argument_.lossy && SameValue(written, argument_.asRead);
  }

  // An array the host's owner keeps in place takes the values into its elements; another shape
  // cannot go into it (the check before the call keeps methods that would leave one from running).
  void PrepareElements(SAFEARRAY* host, VARTYPE elementType, const SafeArray* array) {
    if (array == nullptr || !SameShape(*array, host) || ElementSize(elementType) == 0 ||
        ::SafeArrayGetElemsize(host) != ElementSize(elementType)) {
      RefuseBadInput();
    }
    elements_ = ToElements(*array, elementType);
    bounds_ = array->Bounds();
    elementType_ = elementType;
    elementsTarget_ = host;
    kind_ = Kind::kElements;
  }

  void PrepareVariable() {
    const OleVariant& value = argument_.shadowVariant;
    if (KeepsHostValue(value)) return;
    if (HoldsLockedArray(target_)) RefuseBadInput();
    if ((target_.vt & VT_ARRAY) != 0 && KeepsItsDescriptor(target_.parray)) {
      const OleVariant& written = value.Resolved();
      PrepareElements(target_.parray, ArrayElementType(target_.parray, target_.vt & VT_TYPEMASK),
                      written.IsArray() ? written.ArrayValue() : nullptr);
      return;
    }
    ToComVariant(value, value_.put());
    kind_ = Kind::kVariable;
  }

  // An array of the same shape is written element by element, so that the host's descriptor stays;
  // another shape, or none, replaces the descriptor where the host's array may be freed, and is
  // refused where it may not.
  void PrepareArray() {
    SAFEARRAY* host = *target_.pparray;
    const VARTYPE elementType = target_.vt & VT_TYPEMASK;
    if (!argument_.shadowArray) {
      if (host == nullptr) return;
      if (KeepsItsDescriptor(host)) RefuseBadInput();
      kind_ = Kind::kReplacement;
      return;
    }
    const SafeArray& value = *argument_.shadowArray;
    if (argument_.lossy && SameArray(&value, argument_.asRead.ArrayValue())) return;
    if (SameShape(value, host)) {
      PrepareElements(host, elementType, &value);
      return;
    }
    if (KeepsItsDescriptor(host)) RefuseBadInput();
    replacement_.reset(ToSafeArray(value, elementType));
    kind_ = Kind::kReplacement;
  }

  void PrepareTypedReference() {
    kind_ = Kind::kTypedReference;
    switch (target_.vt & VT_TYPEMASK) {
      case VT_BSTR: {
        // An unchanged text keeps the host's string, an odd last byte included.
        if (FromBstr(*static_cast<BSTR*>(target_.byref)) == argument_.shadowText) {
          kind_ = Kind::kNothing;
          return;
        }
        VARIANT* text = value_.put();
        text->vt = VT_BSTR;
        text->bstrVal = ToBstr(argument_.shadowText);
        break;
      }
      case VT_DISPATCH: {
        VARIANT* object = value_.put();
        object->vt = VT_DISPATCH;
        object->pdispVal = ToComDispatch(argument_.shadowDispatch);
        break;
      }
      default:
        break;
    }
  }

  void CommitTypedReference() {
    void* data = target_.byref;
    switch (target_.vt & VT_TYPEMASK) {
      case VT_UI1:
        *static_cast<uint8_t*>(data) = argument_.shadowByte;
        break;
      case VT_I2:
      case VT_UI2:
      case VT_BOOL:
        *static_cast<int16_t*>(data) = argument_.shadowSmall;
        break;
      case VT_I4:
      case VT_UI4:
        *static_cast<uint32_t*>(data) = argument_.shadowLong;
        break;
      case VT_R4:
        *static_cast<float*>(data) = argument_.shadowSingle;
        break;
      case VT_R8:
      case VT_DATE:
        *static_cast<double*>(data) = argument_.shadowDouble;
        break;
      case VT_CY:
        static_cast<CY*>(data)->int64 = argument_.shadowCurrency.value;
        break;
      case VT_BSTR: {
        BSTR& text = *static_cast<BSTR*>(data);
        ::SysFreeString(text);
        text = value_.release().bstrVal;
        break;
      }
      case VT_DISPATCH: {
        ::IDispatch*& object = *static_cast<::IDispatch**>(data);
        if (object != nullptr) object->Release();
        object = value_.release().pdispVal;
        break;
      }
      default:
        // Kinds without a typed shadow never get here: the portable side refused the call.
        break;
    }
  }

  HostArgument& argument_;
  VARIANT& target_;
  Kind kind_ = Kind::kNothing;
  UniqueVariant value_;
  std::vector<UniqueVariant> elements_;
  std::vector<SafeArray::Bound> bounds_;
  VARTYPE elementType_ = VT_EMPTY;
  SAFEARRAY* elementsTarget_ = nullptr;
  UniqueSafeArray replacement_;
};

}  // namespace

HostArguments::HostArguments(DISPPARAMS* params) {
  count_ = params != nullptr ? params->cArgs : 0;
  namedCount_ = params != nullptr ? params->cNamedArgs : 0;
  // Arguments announced without their array reach the portable side as such, which refuses them.
  if (count_ == 0 || params->rgvarg == nullptr) return;
  arguments_.resize(count_);
  ReadBudget budget;
  // Read in call order, so that a refusal names the first argument that gives one.
  for (uint32_t position = 1; position <= count_; ++position) {
    HostArgument& argument = arguments_[count_ - position];
    try {
      Bind(argument, params->rgvarg[count_ - position], budget);
    } catch (const UnreadableInput& refusal) {
      Refuse(argument, position, kResultUnknownError, refusal.Reason());
    } catch (const UnwritableArgument& refusal) {
      Refuse(argument, position, kResultBadInput, refusal.Message());
    }
  }
  for (HostArgument& argument : arguments_) portable_.push_back(argument.portable);
}

// The call is refused later, where the dispatch refuses arguments nothing can be stored into: a
// call that names no method is still answered as such first.
void HostArguments::Refuse(HostArgument& argument, uint32_t position, int32_t code,
                           const std::string& reason) {
  argument = HostArgument{};
  argument.portable = OleVariant::RefOther(nullptr);
  if (refusal_) return;
  refusal_ = ArgumentRefusal{code, GetResultDescription(kResultBadInput, "") + ": аргумент " +
                                       std::to_string(position) + ": " + reason};
}

void HostArguments::WriteBack() {
  std::deque<PreparedWrite> writes;
  for (HostArgument& argument : arguments_) {
    if (argument.target == nullptr) continue;
    writes.emplace_back(argument).Prepare();
  }
  for (PreparedWrite& write : writes) write.Commit();
}

void HostArguments::Bind(HostArgument& argument, VARIANT& host, ReadBudget& budget) {
  ReadNotes notes;
  if ((host.vt & VT_BYREF) == 0) {
    argument.portable = FromComVariant(host, notes, budget);
    return;
  }
  VARIANT* target = EndOfChain(host);
  OleVariant reference;
  if (target == nullptr || target->vt == (VT_BYREF | VT_VARIANT)) {
    // A chain that loops or ends in a null link has no place to store into.
    reference = OleVariant::RefOther(nullptr);
  } else if ((target->vt & VT_BYREF) == 0) {
    if (HoldsLockedArray(*target)) throw UnwritableArgument("массив заблокирован вызывающей программой");
    argument.shadowVariant = FromComVariant(*target, notes, budget);
    if (notes.lossy) {
      argument.lossy = true;
      argument.asRead = argument.shadowVariant;
    }
    argument.target = target;
    argument.portable = OleVariant::RefVariant(&argument.shadowVariant);
    return;
  } else {
    reference = BindReference(argument, *target, budget);
    argument.target = target;
  }
  // A reference reached through variant links stays one link away, as the host built it.
  if (target != &host) {
    argument.shadowVariant = reference;
    argument.portable = OleVariant::RefVariant(&argument.shadowVariant);
  } else {
    argument.portable = reference;
  }
}

}  // namespace tallowmer::com
