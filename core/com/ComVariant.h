#pragma once

// Conversion between the host's VARIANTs and the portable variant, both ways. Values are copied;
// by-reference arguments are handled by HostArguments in ComDispatch.

#include <windows.h>

#include <oleauto.h>

#include "common/OleVariant.h"

namespace tallowmer::com {

// The plain value of a host VARIANT (references followed). Arrays of any element type become
// arrays of variants; objects become counted dispatch references.
OleVariant FromComVariant(const VARIANT& value);
// Fills a VARIANT the caller has initialised and will clear.
void ToComVariant(const OleVariant& value, VARIANT* target);
// A new array of the element type holding the elements, each already of that kind (any kind for
// VT_VARIANT); an element of another kind raises the bad-input EquException.
SAFEARRAY* ToSafeArray(const SafeArray& array, VARTYPE elementType);
// Stores the elements into an array of the same shape, each by its element type.
void PutElements(const SafeArray& array, SAFEARRAY* target);
// The portable text of a BSTR (a null BSTR is the empty text).
std::u16string FromBstr(BSTR value);
BSTR ToBstr(const std::u16string& value);

// The host's object behind a dispatch reference: the original when it came from the host, else a
// new COM face for one of our objects.
::IDispatch* ToComDispatch(const DispatchPtr& value);
DispatchPtr FromComDispatch(::IDispatch* value);

}  // namespace tallowmer::com
