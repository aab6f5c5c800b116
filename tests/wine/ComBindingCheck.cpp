// The COM binding's entries when memory runs out: the class factory, GetIDsOfNames and Invoke over a
// portable object that fails the way a real one can only under pressure. This program replaces the
// global operator new, so that one allocation of the binding's own can be made to fail on demand;
// no exception may leave an entry.
//
// Usage: com_binding_check. Prints one line per check and "N passed, M failed".

#include <windows.h>

#include <objbase.h>
#include <oleauto.h>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "common/Dispatch.h"
#include "core/com/ComServer.h"

namespace {

// Allocations still allowed before every further one fails; negative: no limit.
long allocationsLeft = -1;

void* Allocate(std::size_t size) {
  if (allocationsLeft == 0) throw std::bad_alloc();
  if (allocationsLeft > 0) --allocationsLeft;
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) {
  return Allocate(size);
}
void* operator new[](std::size_t size) {
  return Allocate(size);
}
void operator delete(void* block) noexcept {
  std::free(block);
}
void operator delete[](void* block) noexcept {
  std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
  std::free(block);
}
void operator delete[](void* block, std::size_t) noexcept {
  std::free(block);
}

namespace {

using tallowmer::DispatchPtr;

int passed = 0;
int failed = 0;

void Check(bool condition, const char* what) {
  std::printf("%s: %s\n", condition ? "ok" : "FAILED", what);
  (condition ? passed : failed)++;
}

// A portable object whose name lookup and calls run out of memory.
class ExhaustedCore final : public tallowmer::IDispatch {
 public:
  uint32_t AddRef() override { return ++references_; }
  uint32_t Release() override {
    const uint32_t remaining = --references_;
    if (remaining == 0) delete this;
    return remaining;
  }
  tallowmer::HRESULT GetTypeInfoCount(uint32_t* count) override {
    *count = 0;
    return tallowmer::hrOk;
  }
  tallowmer::HRESULT GetIDsOfNames(const char16_t* const*, uint32_t, tallowmer::DispID*) override {
    throw std::bad_alloc();
  }
  // Fails, and leaves `allocationsAfterFailure` allocations for reporting it.
  tallowmer::HRESULT Invoke(tallowmer::DispID, uint16_t, tallowmer::DispParams&, tallowmer::OleVariant*,
                            tallowmer::ExcepInfo*) override {
    allocationsLeft = allocationsAfterFailure;
    throw std::bad_alloc();
  }

  long allocationsAfterFailure = -1;

 private:
  uint32_t references_ = 1;
};

ExhaustedCore* lastCore = nullptr;
// Allocations the factory's create function leaves to what follows it.
long allocationsAfterCreate = -1;

DispatchPtr CreateExhaustedCore() {
  lastCore = new ExhaustedCore;
  allocationsLeft = allocationsAfterCreate;
  return DispatchPtr::Attach(lastCore);
}

const tallowmer::com::ComClass kTestClass{
    {0x5B1D3A77, 0x0C4E, 0x4E2A, {0x9D, 0x11, 0x6E, 0x3B, 0x27, 0x8F, 0x40, 0xA2}},
    L"{5B1D3A77-0C4E-4E2A-9D11-6E3B278F40A2}",
    L"ComBindingCheck.Exhausted",
    L"com_binding_check",
    L"Apartment",
    &CreateExhaustedCore,
};

// The factory's answer to CreateInstance, or E_ABORT when an exception left it.
HRESULT CreateInstance(IClassFactory* factory, ::IDispatch** object) {
  try {
    return factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(object));
  } catch (...) {
    allocationsLeft = -1;
    return E_ABORT;
  }
}

}  // namespace

int main() {
  ::CoInitialize(nullptr);
  IClassFactory* factory = nullptr;
  if (FAILED(tallowmer::com::GetClassObject(kTestClass, kTestClass.clsid, IID_IClassFactory,
                                            reinterpret_cast<void**>(&factory)))) {
    std::printf("FAILED: the class factory is made\n0 passed, 1 failed\n");
    return 1;
  }
  ::IDispatch* object = nullptr;
  allocationsAfterCreate = 0;
  const HRESULT exhausted = CreateInstance(factory, &object);
  allocationsLeft = -1;
  Check(exhausted == E_OUTOFMEMORY && object == nullptr,
        "CreateInstance whose object's COM face cannot be allocated: E_OUTOFMEMORY, no exception");

  allocationsAfterCreate = -1;
  const HRESULT created = CreateInstance(factory, &object);
  Check(created == S_OK && object != nullptr, "CreateInstance with memory: the object");
  if (object != nullptr) {
    ExhaustedCore& core = *lastCore;
    LPOLESTR names[] = {const_cast<LPOLESTR>(L"Enable")};
    DISPID id = 12345;
    HRESULT named = E_ABORT;
    try {
      named = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    } catch (...) {
    }
    Check(named == E_OUTOFMEMORY, "GetIDsOfNames that runs out of memory: E_OUTOFMEMORY, no exception");

    DISPPARAMS none{nullptr, nullptr, 0, 0};
    EXCEPINFO exception{};
    HRESULT invoked = E_ABORT;
    try {
      invoked = object->Invoke(0, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, nullptr, &exception,
                               nullptr);
    } catch (...) {
    }
    const std::wstring description = exception.bstrDescription != nullptr ? exception.bstrDescription : L"";
    ::SysFreeString(exception.bstrDescription);
    ::SysFreeString(exception.bstrSource);
    Check(invoked == DISP_E_EXCEPTION && exception.scode == 1001 && description == L"std::bad_alloc",
          "Invoke that runs out of memory with room to tell it: DISP_E_EXCEPTION, scode 1001");

    core.allocationsAfterFailure = 0;
    exception = EXCEPINFO{};
    invoked = E_ABORT;
    try {
      invoked = object->Invoke(0, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, nullptr, &exception,
                               nullptr);
    } catch (...) {
    }
    allocationsLeft = -1;
    Check(invoked == E_OUTOFMEMORY,
          "Invoke that cannot even report the failure: E_OUTOFMEMORY, no exception");
    object->Release();
  }
  factory->Release();
  ::CoUninitialize();
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
