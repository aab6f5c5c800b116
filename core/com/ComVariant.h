#pragma once

// Conversion between the host's VARIANTs and the portable variant, both ways. Values are copied;
// by-reference arguments are handled by HostArguments in ComDispatch.

#include <windows.h>

#include <oleauto.h>

#include <vector>

#include "common/OleVariant.h"
#include "core/com/ComHandles.h"

namespace tallowmer::com {

// What reading a host value found besides the value.
struct ReadNotes {
  // Some part of it has no exact portable form (a DECIMAL, an object without a dispatch face, a
  // string of odd byte length, an unreadable kind).
  bool lossy = false;
};

// The plain value of a host VARIANT (references followed). Arrays of any element type become
// arrays of variants; objects become counted dispatch references. Input that nests too deep,
// holds too many elements or refers back to an array being read raises the bad-input EquException.
OleVariant FromComVariant(const VARIANT& value);
OleVariant FromComVariant(const VARIANT& value, ReadNotes& notes);
// Fills a VARIANT the caller has initialised and will clear.
void ToComVariant(const OleVariant& value, VARIANT* target);
// A new array of the element type holding the elements, each already of that kind (any kind for
// VT_VARIANT); an element of another kind raises the bad-input EquException.
SAFEARRAY* ToSafeArray(const SafeArray& array, VARTYPE elementType);
// The elements converted for an array of the element type; an element of another kind raises the
// bad-input EquException. Nothing of the host's is touched, so a write-back can fail here safely.
std::vector<UniqueVariant> ToElements(const SafeArray& array, VARTYPE elementType);
// Moves converted elements into an array of the bounds' shape and of the element type, releasing
// what its slots held; it cannot fail, so a write-back prepared with ToElements completes.
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
