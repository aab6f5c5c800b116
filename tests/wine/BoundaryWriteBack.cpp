// Boundary cases of the arguments' way in and out: arrays nested by value far beyond what the
// driver reads, by-reference arrays whose holder names another element type or size, fixed-size
// and static arrays where a method would replace them, named arguments, and the budget of elements
// that one call's arguments share.

#include "BoundaryClient.h"

#include <psapi.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace boundary {

void NestingByValue(IDispatch* object) {
  {
    // The deepest nesting that is read; passed by value, so that nothing is written back into it.
    NestedByValue nested(64);
    Variant outData;
    const Answer answer = DeviceInfo(object, nested.Outer(), ByRef(&outData.value));
    Check(answer.hr == S_OK && answer.result && IsDeviceInformation(outData.value) && nested.Intact(),
          "InData nested 64 levels deep by value is read");
  }
  for (const size_t levels : {size_t{65}, size_t{20000}, size_t{200000}}) {
    NestedByValue nested(levels);
    const std::string depth = std::to_string(levels) + " levels deep by value: refused, the process alive";
    {
      Variant outData;
      const Answer answer = DeviceInfo(object, nested.Outer(), ByRef(&outData.value));
      Check(IsBadInput(answer, L"аргумент 1: массивы вложены глубже 64 уровней") &&
                outData.value.vt == VT_EMPTY && nested.Intact(),
            ("InData passed by value, " + depth).c_str());
    }
    {
      VARIANT variable = nested.Outer();
      Variant outData;
      const Answer answer = DeviceInfo(object, ByRef(&variable), ByRef(&outData.value));
      Check(IsBadInput(answer, L"аргумент 1: массивы вложены глубже 64 уровней") &&
                outData.value.vt == VT_EMPTY && variable.parray == nested.Outer().parray && nested.Intact(),
            ("InData in a variable, " + depth).c_str());
    }
    {
      VARIANT variable = nested.Outer();
      Variant inData;
      const Answer answer = DeviceInfo(object, ByRef(&inData.value), ByRef(&variable));
      Check(IsBadInput(answer, L"аргумент 2: массивы вложены глубже 64 уровней") &&
                variable.vt == (VT_ARRAY | VT_VARIANT) && variable.parray == nested.Outer().parray &&
                nested.Intact(),
            ("OutData holding arrays nested " + depth).c_str());
    }
  }
}

namespace {

// The bytes of an array's elements, to tell that nothing was written into them.
std::vector<unsigned char> ElementBytes(SAFEARRAY* array) {
  LONG upper = -1;
  ::SafeArrayGetUBound(array, 1, &upper);
  const auto* data = static_cast<const unsigned char*>(array->pvData);
  return std::vector<unsigned char>(data, data + static_cast<size_t>(upper + 1) * array->cbElements);
}

SAFEARRAY* NumbersOfFour(ULONG count) {
  SAFEARRAY* array = Vector(VT_I4, count);
  for (ULONG i = 0; i < count; ++i) static_cast<LONG*>(array->pvData)[i] = static_cast<LONG>(7 + i);
  return array;
}

SAFEARRAY* Texts(ULONG count) {
  SAFEARRAY* array = Vector(VT_VARIANT, count);
  for (ULONG i = 0; i < count; ++i)
    static_cast<VARIANT*>(array->pvData)[i] = Text(L"текст " + std::to_wstring(i));
  return array;
}

// A descriptor with no element type and no feature flag, its elements four bytes each.
SAFEARRAY* UntypedFourByteElements(ULONG count) {
  SAFEARRAY* array = ArrayWithoutVartype(0, 4, count);
  std::memset(array->pvData, 0x5A, count * 4);
  return array;
}

VARIANT ArrayReference(VARTYPE holder, SAFEARRAY** array) {
  VARIANT reference;
  ::VariantInit(&reference);
  reference.vt = VT_BYREF | VT_ARRAY | holder;
  reference.pparray = array;
  return reference;
}

}  // namespace

void MismatchedHolders(IDispatch* object) {
  struct Case {
    const char* what;
    std::function<SAFEARRAY*()> make;
    VARTYPE holder;
    const wchar_t* detail;
  };
  const Case cases[] = {
      {"an I4 array behind a VARIANT array reference", [] { return NumbersOfFour(15); }, VT_VARIANT,
       L"массив элементов типа Integer передан ссылкой на массив элементов типа Variant"},
      {"four-byte elements without a type behind a VARIANT array reference",
       [] { return UntypedFourByteElements(15); }, VT_VARIANT,
       L"размер элемента массива (4) не равен размеру элемента типа Variant"},
      {"a VARIANT array behind a BSTR array reference", [] { return Texts(3); }, VT_BSTR,
       L"массив элементов типа Variant передан ссылкой на массив элементов типа OleStr"},
  };
  for (const Case& c : cases) {
    for (const int position : {2, 1}) {
      SAFEARRAY* array = c.make();
      SAFEARRAY* const before = array;
      const std::vector<unsigned char> bytes = ElementBytes(array);
      Variant other;
      const VARIANT reference = ArrayReference(c.holder, &array);
      const Answer answer = position == 2 ? DeviceInfo(object, ByRef(&other.value), reference)
                                          : DeviceInfo(object, reference, ByRef(&other.value));
      const bool heapWhole = ::HeapValidate(::GetProcessHeap(), 0, nullptr) != FALSE;
      const std::string what = std::string(c.what) + (position == 2 ? " as OutData" : " as InData") +
                               ": refused before the method ran, the array and the heap untouched";
      Check(IsRefusedArgument(answer, position, c.detail) && array == before &&
                ElementBytes(array) == bytes && other.value.vt == VT_EMPTY && heapWhole,
            what.c_str());
      ::SafeArrayDestroy(array);
    }
  }
  {
    // A VARIANT array behind a VARIANT array reference takes the method's outcome whole.
    SAFEARRAY* array = Texts(2);
    Variant inData;
    const Answer answer = DeviceInfo(object, ByRef(&inData.value), ArrayReference(VT_VARIANT, &array));
    Check(answer.hr == S_OK && answer.result && array != nullptr && UpperBound(array) == 14,
          "a VARIANT array reference as OutData takes the device information");
    ::SafeArrayDestroy(array);
  }
  {
    // SetSettings leaves OutData Empty: the array variable then holds no array.
    SAFEARRAY* array = Texts(2);
    VARIANT holder = ArrayOf(SettingsTable(L"DefaultTimeOut", Int4(33)));
    const Answer answer =
        Run(object, kSetSettings, {ByRef(&holder), ArrayReference(VT_VARIANT, &array), Int4(0)});
    Check(answer.hr == S_OK && answer.result && array == nullptr,
          "a VARIANT array reference as OutData of a call that answers nothing is left without an array");
    ::VariantClear(&holder);
    if (array != nullptr) ::SafeArrayDestroy(array);
  }
}

namespace {

struct KeptForm {
  const char* name;
  USHORT feature;
};

const KeptForm kKeptForms[] = {{"fixed-size", FADF_FIXEDSIZE},
                               {"static", FADF_STATIC},
                               {"embedded", FADF_EMBEDDED},
                               {"automatic", FADF_AUTO}};

// Two texts in an array marked as its owner's to keep.
SAFEARRAY* KeptArray(USHORT feature) {
  SAFEARRAY* array = Texts(2);
  array->fFeatures |= feature;
  return array;
}

void DestroyKept(SAFEARRAY* array, USHORT feature) {
  array->fFeatures &= static_cast<USHORT>(~feature);
  ::SafeArrayDestroy(array);
}

bool HoldsTheTexts(SAFEARRAY* array) {
  if (array == nullptr || UpperBound(array) != 1) return false;
  const auto* elements = static_cast<const VARIANT*>(array->pvData);
  return elements[0].vt == VT_BSTR && std::wcscmp(elements[0].bstrVal, L"текст 0") == 0 &&
         elements[1].vt == VT_BSTR && std::wcscmp(elements[1].bstrVal, L"текст 1") == 0;
}

LONG DefaultTimeOut(IDispatch* object) {
  Variant value;
  if (!SettingValue(object, L"DefaultTimeOut", &value.value)) return -1;
  return ::VariantChangeType(&value.value, &value.value, 0, VT_I4) == S_OK ? value.value.lVal : -1;
}

}  // namespace

// A script's `Dim f1(1)` as OutData: the method would leave Empty or another array there, which the
// host's array cannot take. Refused before the method runs, the settings stay as they were.
void FixedArrays(IDispatch* object) {
  for (const KeptForm& form : kKeptForms) {
    const std::string name = std::string("a ") + form.name + " array";
    {
      SAFEARRAY* array = KeptArray(form.feature);
      SAFEARRAY* const before = array;
      const LONG timeOutBefore = DefaultTimeOut(object);
      VARIANT table = ArrayOf(SettingsTable(L"DefaultTimeOut", Int4(77)));
      const Answer answer =
          Run(object, kSetSettings, {ByRef(&table), ArrayReference(VT_VARIANT, &array), Int4(0)});
      ::VariantClear(&table);
      Check(IsRefusedArgument(answer, 2, kKeptArrayReason) && array == before && HoldsTheTexts(array) &&
                DefaultTimeOut(object) == timeOutBefore && timeOutBefore != 77,
            (name + " as SetSettings' OutData: refused before the settings change").c_str());
      DestroyKept(array, form.feature);
    }
    {
      VARIANT variable = ArrayOf(KeptArray(form.feature));
      SAFEARRAY* const before = variable.parray;
      Variant inData;
      const Answer answer = DeviceInfo(object, ByRef(&inData.value), ByRef(&variable));
      Check(IsRefusedArgument(answer, 2, kKeptArrayReason) && variable.parray == before &&
                HoldsTheTexts(variable.parray),
            (name + " in a variable as OutData: refused, the variable as passed").c_str());
      DestroyKept(variable.parray, form.feature);
    }
    {
      SAFEARRAY* array = KeptArray(form.feature);
      SAFEARRAY* const before = array;
      Variant outData;
      const Answer answer = DeviceInfo(object, ArrayReference(VT_VARIANT, &array), ByRef(&outData.value));
      Check(answer.hr == S_OK && answer.result && array == before && HoldsTheTexts(array) &&
                (array->fFeatures & form.feature) != 0 && IsDeviceInformation(outData.value),
            (name + " as InData: read, and handed back in its own descriptor").c_str());
      DestroyKept(array, form.feature);
    }
    {
      VARIANT variable = ArrayOf(KeptArray(form.feature));
      SAFEARRAY* const before = variable.parray;
      Variant outData;
      const Answer answer = DeviceInfo(object, ByRef(&variable), ByRef(&outData.value));
      Check(answer.hr == S_OK && answer.result && variable.parray == before && HoldsTheTexts(variable.parray),
            (name + " in a variable as InData: read, the variable keeps its array").c_str());
      DestroyKept(variable.parray, form.feature);
    }
  }
}

namespace {

HRESULT CallWithNames(IDispatch* object, DISPID id, WORD flags, std::vector<VARIANT> args, UINT namedCount,
                      DISPID* named) {
  std::vector<VARIANT> reversed(args.rbegin(), args.rend());
  DISPPARAMS params{reversed.data(), named, static_cast<UINT>(reversed.size()), namedCount};
  Variant result;
  EXCEPINFO exception{};
  const HRESULT hr =
      object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, &result.value, &exception, nullptr);
  ClearException(exception);
  return hr;
}

}  // namespace

// VB6's `InData:=...` and .NET's InvokeMember with names: the driver's methods take arguments by
// place only, so a call that names any is refused before its method runs.
void NamedArguments(IDispatch* object) {
  DISPID firstNamed[] = {0, 1, 2};
  {
    Variant inData;
    Variant outData;
    outData.value = Text(L"host");
    const HRESULT hr = CallWithNames(object, kGetDeviceInfo, DISPATCH_METHOD,
                                     {ByRef(&inData.value), ByRef(&outData.value), Int4(0)}, 1, firstNamed);
    Check(hr == DISP_E_NONAMEDARGS && outData.value.vt == VT_BSTR &&
              std::wcscmp(outData.value.bstrVal, L"host") == 0,
          "a method call with a named argument: DISP_E_NONAMEDARGS, OutData as passed");
  }
  {
    const LONG before = DefaultTimeOut(object);
    VARIANT table = ArrayOf(SettingsTable(L"DefaultTimeOut", Int4(55)));
    Variant outData;
    const HRESULT hr = CallWithNames(object, kSetSettings, DISPATCH_METHOD | DISPATCH_PROPERTYGET,
                                     {ByRef(&table), ByRef(&outData.value), Int4(0)}, 3, firstNamed);
    ::VariantClear(&table);
    Check(hr == DISP_E_NONAMEDARGS && DefaultTimeOut(object) == before && before != 55,
          "SetSettings with every argument named: DISP_E_NONAMEDARGS, the settings unchanged");
  }
  {
    // Three arguments that would make a good call without the names.
    Variant inData;
    Variant outData;
    DISPID fourNamed[] = {0, 1, 2, 3};
    const HRESULT more = CallWithNames(object, kGetDeviceInfo, DISPATCH_METHOD,
                                       {ByRef(&inData.value), ByRef(&outData.value), Int4(0)}, 4, fourNamed);
    const HRESULT unlisted =
        CallWithNames(object, kGetDeviceInfo, DISPATCH_METHOD,
                      {ByRef(&inData.value), ByRef(&outData.value), Int4(0)}, 1, nullptr);
    Check(more == E_INVALIDARG && unlisted == E_INVALIDARG && outData.value.vt == VT_EMPTY,
          "more names than arguments, or names without their list: E_INVALIDARG, nothing run");
  }
  {
    DISPID put[] = {DISPID_PROPERTYPUT};
    const HRESULT hr = CallWithNames(object, kGetDeviceInfo, DISPATCH_PROPERTYPUT, {Int4(1)}, 1, put);
    Check(hr == E_FAIL, "a property put, named as scripts name it: E_FAIL as before");
  }
}

namespace {

struct Memory {
  SIZE_T current = 0;
  SIZE_T peak = 0;
};

Memory WorkingSet() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters);
  return {counters.WorkingSetSize, counters.PeakWorkingSetSize};
}

double Megabytes(SIZE_T bytes) {
  return static_cast<double>(bytes) / (1024.0 * 1024.0);
}

}  // namespace

// The limit of 1,000,000 elements and links holds for all arguments of one call together, and is
// reached before the driver makes anything of an array that passes it.
void SharedBudget(IDispatch* object) {
  {
    // First in its process, so that the peak it measures is this call's own.
    SAFEARRAY* large = NumbersOfFour(8 * 1024 * 1024);
    Variant outData;
    const Memory before = WorkingSet();
    const Answer answer = DeviceInfo(object, ArrayOf(large, VT_I4), ByRef(&outData.value));
    const Memory after = WorkingSet();
    // Above the higher of the peak and the working set before: where an earlier case of the same
    // process (the "every" run) left a higher peak, only a call that passes it shows.
    const SIZE_T start = before.peak > before.current ? before.peak : before.current;
    const double growth = Megabytes(after.peak > start ? after.peak - start : 0);
    std::printf("    the peak working set rose %.1f MB during the call\n", growth);
    Check(IsBadInput(answer, L"больше 1000000") && growth < 64.0,
          "an array of 8 million elements: refused before the driver makes anything of it");
    ::SafeArrayDestroy(large);
  }
  SAFEARRAY* numbers = NumbersOfFour(600000);
  {
    Variant outData;
    const Answer answer = DeviceInfo(object, ArrayOf(numbers, VT_I4), ByRef(&outData.value));
    Check(answer.hr == S_OK && answer.result, "an array of 600,000 elements passed once is read");
  }
  {
    Variant outData;
    const VARIANT again = ArrayOf(numbers, VT_I4);
    const Answer answer =
        DeviceInfo(object, again, ByRef(&outData.value), {again, again, again, again, again, again, again});
    Check(IsBadInput(answer, L"в аргументах вызова больше 1000000 элементов и ссылок") &&
              outData.value.vt == VT_EMPTY,
          "the same array passed 8 times in one call: refused as 4.8 million elements");
  }
  ::SafeArrayDestroy(numbers);
}

}  // namespace boundary
