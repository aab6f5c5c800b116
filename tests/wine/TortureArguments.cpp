#include "TortureArguments.h"

#include <climits>
#include <cstring>
#include <iterator>
#include <limits>
#include <string>

namespace torture {

CountedObject dispatchObject(true);
CountedObject unknownObject(false);

bool IsStorableKind(VARTYPE kind) {
  switch (kind) {
    case VT_UI1:
    case VT_I2:
    case VT_UI2:
    case VT_I4:
    case VT_UI4:
    case VT_R4:
    case VT_R8:
    case VT_DATE:
    case VT_CY:
    case VT_BSTR:
    case VT_DISPATCH:
    case VT_BOOL:
      return true;
    default:
      return false;
  }
}

double RandomDouble(Rng& rng) {
  switch (rng.Below(8)) {
    case 0:
      return std::numeric_limits<double>::quiet_NaN();
    case 1:
      return rng.Chance(50) ? std::numeric_limits<double>::infinity()
                            : -std::numeric_limits<double>::infinity();
    case 2:
      return rng.Chance(50) ? 1e300 : -1e300;
    case 3:
      return 0.5 + rng.Below(6) - 3;  // ties
    default:
      return static_cast<double>(static_cast<int64_t>(rng.Bits() % 2000000)) / 100.0 - 10000.0;
  }
}

// Long texts only where `topLevel`: inside large arrays they would make the client's own heap the
// largest thing measured.
BSTR RandomText(Rng& rng, bool topLevel) {
  std::wstring text;
  switch (rng.Below(topLevel ? 9 : 8)) {
    case 0:
      break;  // zero length
    case 1:
      text = std::wstring(L"a\0b\0\0c", 6);
      break;
    case 2:
      text = rng.Chance(50) ? std::wstring(1, static_cast<wchar_t>(0xD800)) : std::wstring(L"x\xDC00y");
      break;
    case 3:
      text = L"Тест\r\nстрока";
      break;
    case 4:
      text = kMethodNames[rng.Below(kMethodCount)];
      break;
    case 5:
      text = rng.Chance(50) ? L"12" : (rng.Chance(50) ? L"1.5" : L"True");
      break;
    case 8:
      // Long texts come in two sizes only: random sizes would measure the heap's fragmentation
      // rather than the driver's memory.
      text.assign(rng.Chance(50) ? 2048 : 8192, L'Я');
      break;
    default:
      for (int i = rng.Below(40); i > 0; --i) text.push_back(static_cast<wchar_t>(rng.Bits() & 0xFFFF));
  }
  if (rng.Chance(3)) return nullptr;
  return ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

IUnknown* RandomObject(Rng& rng, bool dispatch) {
  if (rng.Chance(15)) return nullptr;
  CountedObject* object = dispatch || rng.Chance(50) ? &dispatchObject : &unknownObject;
  object->AddRef();
  return static_cast<IDispatch*>(object);
}

// Random bits of a scalar kind into its storage (a VARIANT's value field or a typed slot).
void FillScalar(Rng& rng, VARTYPE kind, void* data, bool topLevel) {
  switch (kind) {
    case VT_I1:
    case VT_UI1:
      *static_cast<uint8_t*>(data) = static_cast<uint8_t>(rng.Bits());
      break;
    case VT_I2:
    case VT_UI2:
      *static_cast<uint16_t*>(data) = static_cast<uint16_t>(rng.Chance(50) ? rng.Below(100) : rng.Bits());
      break;
    case VT_BOOL: {
      const SHORT values[] = {VARIANT_TRUE, VARIANT_FALSE, 1, 2};
      *static_cast<SHORT*>(data) = values[rng.Below(4)];
      break;
    }
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_ERROR:
      *static_cast<uint32_t*>(data) = static_cast<uint32_t>(rng.Chance(50) ? rng.Below(1000) : rng.Bits());
      break;
    case VT_I8:
    case VT_UI8:
    case VT_CY:
      *static_cast<uint64_t*>(data) = rng.Chance(50) ? static_cast<uint64_t>(rng.Below(100000)) : rng.Bits();
      break;
    case VT_R4:
      *static_cast<float*>(data) = static_cast<float>(RandomDouble(rng));
      break;
    case VT_R8:
    case VT_DATE:
      *static_cast<double*>(data) = RandomDouble(rng);
      break;
    case VT_DECIMAL: {
      DECIMAL value{};
      if (FAILED(::VarDecFromR8(static_cast<double>(rng.Below(2000000)) / 100.0, &value))) value = DECIMAL{};
      std::memcpy(data, &value, sizeof value);
      break;
    }
    case VT_BSTR:
      *static_cast<BSTR*>(data) = RandomText(rng, topLevel);
      break;
    case VT_DISPATCH:
      *static_cast<IUnknown**>(data) = RandomObject(rng, true);
      break;
    case VT_UNKNOWN:
      *static_cast<IUnknown**>(data) = RandomObject(rng, false);
      break;
    default:
      break;
  }
}

uint64_t elementBudget = 0;

// A one-dimensional array as SafeArrayAllocDescriptor makes it: its feature flags say what it holds,
// and no element type is stored, so SafeArrayGetVartype refuses it.
SAFEARRAY* ArrayWithoutVartype(VARTYPE elementType, SAFEARRAYBOUND bound) {
  SAFEARRAY* sizer = ::SafeArrayCreateVector(elementType, 0, 0);
  if (sizer == nullptr) return nullptr;
  const ULONG size = ::SafeArrayGetElemsize(sizer);
  ::SafeArrayDestroy(sizer);
  SAFEARRAY* array = nullptr;
  if (FAILED(::SafeArrayAllocDescriptor(1, &array))) return nullptr;
  array->fFeatures = elementType == VT_VARIANT    ? FADF_VARIANT
                     : elementType == VT_BSTR     ? FADF_BSTR
                     : elementType == VT_DISPATCH ? FADF_DISPATCH
                     : elementType == VT_UNKNOWN  ? FADF_UNKNOWN
                                                  : 0;
  array->cbElements = size;
  array->rgsabound[0] = bound;
  if (FAILED(::SafeArrayAllocData(array))) {
    ::SafeArrayDestroyDescriptor(array);
    return nullptr;
  }
  return array;
}

// A settings table holding a Token that no call had before, in the array of one element that
// SetSettings takes: the driver must keep only the token in force.
void FillNewToken(Rng& rng, VARIANT& value) {
  SAFEARRAYBOUND bounds[] = {{2, 0}, {1, 0}};
  SAFEARRAY* table = ::SafeArrayCreate(VT_VARIANT, 2, bounds);
  std::wstring token(4096, L't');
  const std::wstring unique = std::to_wstring(rng.Bits());
  token.replace(0, unique.size(), unique);
  VARIANT cells[] = {com_client::Text(L"Token"), com_client::Text(token)};
  LONG indices[][2] = {{0, 0}, {1, 0}};
  for (int i = 0; i < 2; ++i) {
    ::SafeArrayPutElement(table, indices[i], &cells[i]);
    ::VariantClear(&cells[i]);
  }
  SAFEARRAY* outer = ::SafeArrayCreateVector(VT_VARIANT, 0, 1);
  LONG first = 0;
  VARIANT tableVariant;
  ::VariantInit(&tableVariant);
  tableVariant.vt = VT_ARRAY | VT_VARIANT;
  tableVariant.parray = table;
  ::SafeArrayPutElement(outer, &first, &tableVariant);
  ::VariantClear(&tableVariant);
  value.vt = VT_ARRAY | VT_VARIANT;
  value.parray = outer;
}

SAFEARRAY* RandomArray(Rng& rng, VARTYPE elementType, int depth) {
  const UINT dimensions = 1 + static_cast<UINT>(rng.Below(3));
  SAFEARRAYBOUND bounds[3];
  uint64_t total = 1;
  for (UINT d = 0; d < dimensions; ++d) {
    ULONG count = static_cast<ULONG>(1 + rng.Below(4));
    if (rng.Chance(8)) count = 0;
    if (rng.Chance(2) && depth == 0) count = 512;
    if (total * (count == 0 ? 1 : count) > elementBudget) count = elementBudget >= total ? 1 : 0;
    total *= count == 0 ? 1 : count;
    LONG lower = 0;
    switch (rng.Below(6)) {
      case 0:
        lower = 1;
        break;
      case 1:
        lower = -3;
        break;
      case 2:
        lower = static_cast<LONG>(rng.Bits());
        if (lower > 0 && lower > LONG_MAX - static_cast<LONG>(count)) lower = 5;
        break;
      case 3:
        lower = LONG_MAX - static_cast<LONG>(count) + 1;  // the largest bounds
        break;
      case 4:
        lower = LONG_MIN;
        break;
      default:
        break;
    }
    bounds[d] = {count, lower};
  }
  SAFEARRAY* array = dimensions == 1 && rng.Chance(10) ? ArrayWithoutVartype(elementType, bounds[0])
                                                       : ::SafeArrayCreate(elementType, dimensions, bounds);
  if (array == nullptr) return nullptr;
  void* data = nullptr;
  if (FAILED(::SafeArrayAccessData(array, &data))) return array;
  const ULONG size = ::SafeArrayGetElemsize(array);
  uint64_t elements = 1;
  for (UINT d = 0; d < dimensions; ++d) elements *= bounds[d].cElements;
  elementBudget -= elements < elementBudget ? elements : elementBudget;
  for (uint64_t i = 0; i < elements; ++i) {
    void* element = static_cast<unsigned char*>(data) + i * size;
    if (elementType == VT_VARIANT) {
      FillVariant(rng, *static_cast<VARIANT*>(element), depth + 1);
    } else {
      FillScalar(rng, elementType, element, false);
    }
  }
  ::SafeArrayUnaccessData(array);
  return array;
}

bool Honourable(const Argument& argument, bool isPublic, size_t index) {
  if (!argument.storable) return false;
  const bool replaced = !isPublic || index == 1;
  return !(replaced && argument.keptArray);
}

bool TakesEveryOutcome(const Argument& outData) {
  return outData.slot == nullptr || outData.slot->kind == (VT_ARRAY | VT_VARIANT);
}

USHORT RandomKeptFeature(Rng& rng) {
  const USHORT features[] = {FADF_FIXEDSIZE, FADF_STATIC, FADF_EMBEDDED, FADF_AUTO};
  return features[rng.Below(4)];
}

SAFEARRAY* MismatchedArray(Rng& rng, VARTYPE holderType) {
  const ULONG count = 1 + static_cast<ULONG>(rng.Below(4));
  elementBudget -= count < elementBudget ? count : elementBudget;
  SAFEARRAY* sizer = ::SafeArrayCreateVector(holderType, 0, 0);
  const ULONG holderSize = sizer != nullptr ? ::SafeArrayGetElemsize(sizer) : 0;
  if (sizer != nullptr) ::SafeArrayDestroy(sizer);
  if (holderSize != 4 && rng.Chance(50)) {
    // Without a stored type or a feature flag the holder's type stands; the size does not agree.
    SAFEARRAY* array = nullptr;
    if (FAILED(::SafeArrayAllocDescriptor(1, &array))) return nullptr;
    array->cbElements = 4;
    array->rgsabound[0] = {count, 0};
    if (FAILED(::SafeArrayAllocData(array))) {
      ::SafeArrayDestroyDescriptor(array);
      return nullptr;
    }
    std::memset(array->pvData, 0x5A, count * 4);
    return array;
  }
  VARTYPE elementType = RandomElementType(rng);
  while (elementType == holderType) elementType = RandomElementType(rng);
  SAFEARRAY* array = ::SafeArrayCreateVector(elementType, 0, count);
  if (array == nullptr) return nullptr;
  for (ULONG i = 0; i < count; ++i) {
    void* element = static_cast<unsigned char*>(array->pvData) + i * array->cbElements;
    if (elementType == VT_VARIANT) {
      FillVariant(rng, *static_cast<VARIANT*>(element), 1);
    } else {
      FillScalar(rng, elementType, element, false);
    }
  }
  return array;
}

namespace {

void PutCell(SAFEARRAY* array, LONG* indices, VARIANT value) {
  ::SafeArrayPutElement(array, indices, &value);
  ::VariantClear(&value);
}

VARIANT Money(LONGLONG tenThousandths) {
  VARIANT value;
  ::VariantInit(&value);
  value.vt = VT_CY;
  value.cyVal.int64 = tenThousandths;
  return value;
}

}  // namespace

void FillCloseOrderInData(ReceiptSums sums, VARIANT& value) {
  // Two lines of 600 trillion pass the largest amount; 2^62 and 2^62 - 1 end exactly at it.
  const bool beyond = sums == ReceiptSums::kBeyondTheLimit;
  const LONGLONG amounts[] = {beyond ? 6000000000000000000LL : LONGLONG{1} << 62,
                              beyond ? 6000000000000000000LL : (LONGLONG{1} << 62) - 1};
  SAFEARRAYBOUND bounds[] = {{7, 0}, {2, 0}};  // [column, line]
  SAFEARRAY* table = ::SafeArrayCreate(VT_VARIANT, 2, bounds);
  for (LONG line = 0; line < 2; ++line) {
    LONG product[] = {2, line};
    LONG name[] = {3, line};
    LONG discount[] = {4, line};
    LONG quantity[] = {5, line};
    LONG amount[] = {6, line};
    PutCell(table, product, com_client::Text(L"p"));
    PutCell(table, name, com_client::Text(L"n"));
    PutCell(table, discount, Money(0));
    VARIANT one;
    ::VariantInit(&one);
    one.vt = VT_R8;
    one.dblVal = 1;
    PutCell(table, quantity, one);
    PutCell(table, amount, Money(amounts[line]));
  }
  VARIANT tableVariant;
  ::VariantInit(&tableVariant);
  tableVariant.vt = VT_ARRAY | VT_VARIANT;
  tableVariant.parray = table;
  const VARIANT elements[] = {com_client::Text(L"o"),
                              tableVariant,
                              Money(0),
                              Money(0),
                              com_client::Text(L"79001234567"),
                              com_client::Int4(0),
                              com_client::Int4(0),
                              com_client::Text(L"")};
  SAFEARRAY* inData = ::SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(std::size(elements)));
  for (LONG i = 0; i < static_cast<LONG>(std::size(elements)); ++i) PutCell(inData, &i, elements[i]);
  value.vt = VT_ARRAY | VT_VARIANT;
  value.parray = inData;
}

VARTYPE RandomElementType(Rng& rng) {
  return kElementKinds[rng.Below(static_cast<int>(std::size(kElementKinds)))];
}

void FillVariant(Rng& rng, VARIANT& value, int depth) {
  ::VariantInit(&value);
  if (depth == 0 && rng.Chance(2)) {
    FillNewToken(rng, value);
    return;
  }
  if (depth < 3 && rng.Chance(depth == 0 ? 20 : 10)) {
    const VARTYPE elementType = RandomElementType(rng);
    value.vt = VT_ARRAY | elementType;
    value.parray = rng.Chance(4) ? nullptr : RandomArray(rng, elementType, depth);
    return;
  }
  const VARTYPE kind = kScalarKinds[rng.Below(static_cast<int>(std::size(kScalarKinds)))];
  value.vt = kind;
  FillScalar(rng, kind, kind == VT_DECIMAL ? static_cast<void*>(&value) : static_cast<void*>(&value.llVal),
             depth == 0);
  value.vt = kind;  // a DECIMAL's bytes cover the type field
}

std::vector<unsigned char> Fingerprint(const Slot& slot) {
  std::vector<unsigned char> bytes;
  auto add = [&](const void* data, size_t size) {
    const auto* begin = static_cast<const unsigned char*>(data);
    bytes.insert(bytes.end(), begin, begin + size);
  };
  add(&slot.variant, sizeof slot.variant);
  add(slot.raw, sizeof slot.raw);
  add(&slot.text, sizeof slot.text);
  add(&slot.object, sizeof slot.object);
  add(&slot.array, sizeof slot.array);
  return bytes;
}

}  // namespace torture
