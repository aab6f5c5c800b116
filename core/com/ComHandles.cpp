#include "core/com/ComHandles.h"

#include <vector>

namespace tallowmer::com {
namespace {

// An array the variant owns (not one it refers to).
bool OwnsArray(const VARIANT& value) {
  return (value.vt & (VT_ARRAY | VT_BYREF)) == VT_ARRAY && value.parray != nullptr;
}

// The elements of an array of variants, or null for any other array: only these can hold arrays.
VARIANT* VariantElements(SAFEARRAY* array, size_t& count) {
  VARTYPE type = VT_EMPTY;
  const bool variants = SUCCEEDED(::SafeArrayGetVartype(array, &type))
                            ? type == VT_VARIANT
                            : (array->fFeatures & FADF_VARIANT) != 0;
  if (!variants || array->cbElements != sizeof(VARIANT) || array->pvData == nullptr || array->cLocks != 0)
    return nullptr;
  count = array->cDims == 0 ? 0 : 1;
  for (USHORT d = 0; d < array->cDims; ++d) count *= array->rgsabound[d].cElements;
  return static_cast<VARIANT*>(array->pvData);
}

}  // namespace

void ClearVariant(VARIANT& value) noexcept {
  if (!OwnsArray(value)) {
    ::VariantClear(&value);
    return;
  }
  SAFEARRAY* const outer = value.parray;
  ::VariantInit(&value);
  DestroyArray(outer);
}

void DestroyArray(SAFEARRAY* array) noexcept {
  if (array == nullptr) return;
  try {
    std::vector<SAFEARRAY*> pending{array};
    while (!pending.empty()) {
      SAFEARRAY* current = pending.back();
      pending.pop_back();
      size_t count = 0;
      if (VARIANT* elements = VariantElements(current, count)) {
        for (size_t i = 0; i < count; ++i) {
          if (!OwnsArray(elements[i])) continue;
          pending.push_back(elements[i].parray);
          ::VariantInit(&elements[i]);
        }
      }
      ::SafeArrayDestroy(current);
    }
  } catch (...) {
    // Out of memory for the list: what is left stays allocated rather than taking the host down.
  }
}

}  // namespace tallowmer::com
