#pragma once

// Conversion between the host's VARIANTs and the portable variant, both ways. Values are copied;
// by-reference arguments are handled by HostArguments in ComDispatch.

#include <windows.h>

#include <oleauto.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/OleVariant.h"
#include "common/uEquipmentErrors.h"
#include "core/com/ComHandles.h"

namespace tallowmer::com {

// What reading a host value found besides the value.
struct ReadNotes {
  // Some part of it has no exact portable form (a DECIMAL, an object without a dispatch face, a
  // string of odd byte length, an unreadable kind).
  bool lossy = false;
};

// Input the reader will not read: the bad-input EquException, whose reason can also be told alone.
class UnreadableInput : public EquException {
 public:
  explicit UnreadableInput(std::string reason);
  const std::string& Reason() const { return reason_; }

 private:
  std::string reason_;
};

// How much reading may visit: the elements and variant links of every argument of one call
// together, counted before anything is made of them, so that an array passed many times is refused
// as early as one huge array.
class ReadBudget {
 public:
  // Raises UnreadableInput when `count` more would pass the limit.
  void Spend(uint64_t count);

 private:
  uint64_t spent_ = 0;
};

// The plain value of a host VARIANT (references followed). Arrays of any element type become
// arrays of variants, marked FixedShape where their owner keeps the descriptor; objects become
// counted dispatch references. Elements are read where they lie, never copied by the system, whose
// copies recurse without a bound. Input that nests too deep, holds too many elements or refers back
// to an array being read raises UnreadableInput.
OleVariant FromComVariant(const VARIANT& value);
OleVariant FromComVariant(const VARIANT& value, ReadNotes& notes);
OleVariant FromComVariant(const VARIANT& value, ReadNotes& notes, ReadBudget& budget);

// A host's array that must keep its descriptor: a script's fixed-size array, one on the stack or
// inside a structure, or one the host holds locked.
bool KeepsItsDescriptor(const SAFEARRAY* array);
// Why an array reached through a by-reference array of `holderType` cannot be written as one of
// that type (its element type or size disagrees), or empty when it can.
std::string HolderMismatch(SAFEARRAY* array, VARTYPE holderType);
// The element type of the array's elements as they lie, when its element size agrees with it,
// else VT_EMPTY; `holderType` is the type of the variant that holds it.
VARTYPE ArrayElementType(SAFEARRAY* array, VARTYPE holderType);
// The size an element of the type takes in an array, or 0 for types that are not read here.
ULONG ElementSize(VARTYPE type);
// Fills a VARIANT the caller has initialised and will clear.
void ToComVariant(const OleVariant& value, VARIANT* target);
// A new array of the element type holding the elements, each already of that kind (any kind for
// VT_VARIANT); an element of another kind raises the bad-input EquException.
SAFEARRAY* ToSafeArray(const SafeArray& array, VARTYPE elementType);
// The elements converted for an array of the element type; an element of another kind raises the
// bad-input EquException. Nothing of the host's is touched, so a write-back can fail here safely.
std::vector<UniqueVariant> ToElements(const SafeArray& array, VARTYPE elementType);
// Moves converted elements into an array of the bounds' shape and of the element type, releasing
// what its slots held; it cannot fail, so a write-back prepared with ToElements completes. The
// caller has checked that the array's elements are of the element type's size.
void PutElements(std::vector<UniqueVariant>& elements, const std::vector<SafeArray::Bound>& bounds,
                 VARTYPE elementType, SAFEARRAY* target);
// The portable text of a BSTR (a null BSTR is the empty text).
std::u16string FromBstr(BSTR value);
BSTR ToBstr(const std::u16string& value);

// The host's object behind a dispatch reference: the original when it came from the host, else a
// new COM face for one of our objects.
::IDispatch* ToComDispatch(const DispatchPtr& value);
DispatchPtr FromComDispatch(::IDispatch* value);

}  // namespace tallowmer::com
