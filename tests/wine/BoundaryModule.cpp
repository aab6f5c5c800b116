// Boundary cases of the module around the calls: a manager whose exception texts come only when
// asked for, and the module unloaded and loaded again.

#include "BoundaryClient.h"

#include <cwchar>
#include <string>
#include <vector>

namespace boundary {
namespace {

constexpr DISPID kInit = 0;
constexpr DISPID kClose = 2;
const wchar_t* const kDeferredText = L"Описание, которое менеджер дал по запросу";

HRESULT __stdcall FillInDescription(EXCEPINFO* exception) {
  exception->bstrDescription = ::SysAllocString(kDeferredText);
  exception->bstrSource = ::SysAllocString(L"Manager");
  exception->scode = 1234;
  exception->pfnDeferredFillIn = nullptr;
  return S_OK;
}

// An equipment manager of the test's own: the object plumbing, with the calls left to each kind.
class FakeManager : public IDispatch {
 public:
  virtual ~FakeManager() = default;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IDispatch)) {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    *object = this;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++references); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--references); }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT count, LCID, DISPID* ids) override {
    for (UINT i = 0; i < count; ++i) ids[i] = 1;
    return S_OK;
  }
  long references = 1;
};

// Every call fails with an exception record that holds no text yet, only the function that fills
// it in, as OLE allows an object to defer that work.
class DeferringManager : public FakeManager {
 public:
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO* exception,
                                   UINT*) override {
    if (exception != nullptr) {
      *exception = EXCEPINFO{};
      exception->pfnDeferredFillIn = FillInDescription;
    }
    return DISP_E_EXCEPTION;
  }
};

}  // namespace

void DeferredException(IDispatch* object) {
  DeferringManager manager;
  VARIANT managerArgument;
  ::VariantInit(&managerArgument);
  managerArgument.vt = VT_DISPATCH;
  managerArgument.pdispVal = &manager;
  Variant description;
  // Init asks the manager for the models folder, which fails.
  const Answer answer = Run(object, kInit, {managerArgument, ByRef(&description.value)});
  Check(answer.hr == DISP_E_EXCEPTION && answer.description == kDeferredText,
        "a manager's exception whose text is filled in on request reaches the host with that text");
  Run(object, kClose, {});
  Check(manager.references == 1, "the manager's references are balanced after Close");
}

namespace {

// An equipment manager that answers every call with arrays nested 200,000 levels deep by value, as
// the call's result and in the by-reference value it was asked to fill, both now the driver's to
// free.
class DeepAnsweringManager : public FakeManager {
 public:
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO*, UINT*) override {
    ++calls;
    if (result != nullptr) *result = NestedByValue(200000).Handover();
    for (UINT i = 0; params != nullptr && i < params->cArgs; ++i) {
      VARIANT& argument = params->rgvarg[i];
      if (argument.vt != (VT_BYREF | VT_VARIANT)) continue;
      ::VariantClear(argument.pvarVal);
      *argument.pvarVal = NestedByValue(200000).Handover();
    }
    return S_OK;
  }
  int calls = 0;
};

}  // namespace

// The driver frees what a manager hands it without the system's recursion: a value nested 200,000
// levels deep is refused as input, and freed, and the process lives.
void DeepManagerAnswer(IDispatch* object) {
  DeepAnsweringManager manager;
  VARIANT managerArgument;
  ::VariantInit(&managerArgument);
  managerArgument.vt = VT_DISPATCH;
  managerArgument.pdispVal = &manager;
  Variant description;
  const Answer answer = Run(object, kInit, {managerArgument, ByRef(&description.value)});
  Check(manager.calls > 0 && answer.hr == DISP_E_EXCEPTION &&
            answer.description.find(L"массивы вложены глубже 64 уровней") != std::wstring::npos,
        "a manager's answer nested 200,000 levels deep: Init fails with the reason, the process alive");
  Run(object, kClose, {});
  Check(manager.references == 1, "the manager's references are balanced after Close");
}

namespace {

// The module's hidden windows that live in this process.
int MessageWindowsOfThisProcess() {
  int count = 0;
  HWND window = nullptr;
  while ((window = ::FindWindowExW(HWND_MESSAGE, window, L"TallowmerDeviceMessageWindow", nullptr)) !=
         nullptr) {
    DWORD process = 0;
    ::GetWindowThreadProcessId(window, &process);
    if (process == ::GetCurrentProcessId()) ++count;
  }
  return count;
}

// Asks COM to let go of the module, which it does once the module says it can be unloaded.
bool UnloadModule() {
  for (int attempt = 0; attempt < 250; ++attempt) {
    ::CoFreeUnusedLibrariesEx(0, 0);
    if (::GetModuleHandleW(L"ls_tallowmer.dll") == nullptr) return true;
    ::Sleep(20);
  }
  return false;
}

}  // namespace

// Every driver object has its hidden message window, also after the module was unloaded and
// loaded again: a window class that outlived the module kept the next load from registering it.
void ModuleReload(IDispatch*) {
  for (int load = 1; load <= 3; ++load) {
    IDispatch* object = CreateDriver();
    const HMODULE module = ::GetModuleHandleW(L"ls_tallowmer.dll");
    const int windows = MessageWindowsOfThisProcess();
    std::printf("    load %d: module at %p, %d hidden window(s)\n", load, static_cast<void*>(module),
                windows);
    Check(object != nullptr && windows == 1,
          ("load " + std::to_string(load) + " of the module: the object has its hidden window").c_str());
    if (object != nullptr) object->Release();
    Check(MessageWindowsOfThisProcess() == 0 && UnloadModule(),
          ("load " + std::to_string(load) + ": the window goes with its object, the module unloads").c_str());
  }
}

}  // namespace boundary
