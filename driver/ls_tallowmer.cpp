// The module's entry points: the one registered class and the exports hosts and regsvr32 call.

#include <windows.h>

#include "core/com/ComServer.h"
#include "driver/DriverFactory.h"

namespace {

// {7C41E9A2-3D58-4B16-A0F3-95B2C6D84E17}
constexpr CLSID kDriverClsid = {0x7C41E9A2, 0x3D58, 0x4B16, {0xA0, 0xF3, 0x95, 0xB2, 0xC6, 0xD8, 0x4E, 0x17}};

const tallowmer::com::ComClass kDriverClass{
    kDriverClsid,      L"{7C41E9A2-3D58-4B16-A0F3-95B2C6D84E17}",
    L"hwEq.tallowmer", L"8.2 Equipment Driver 2.0",
    L"Apartment",      &tallowmer::CreateDriverObject,
};

}  // namespace

extern "C" {

HRESULT __stdcall DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
  return tallowmer::com::GetClassObject(kDriverClass, clsid, iid, object);
}

HRESULT __stdcall DllCanUnloadNow() {
  return tallowmer::com::CanUnloadNow();
}

HRESULT __stdcall DllRegisterServer() {
  return tallowmer::com::RegisterServer(kDriverClass, false);
}

HRESULT __stdcall DllUnregisterServer() {
  return tallowmer::com::UnregisterServer(kDriverClass, false);
}

HRESULT __stdcall DllInstall(BOOL install, LPCWSTR commandLine) {
  return tallowmer::com::Install(kDriverClass, install, commandLine);
}

}  // extern "C"
