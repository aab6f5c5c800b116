#pragma once

// The in-process server: one registered class, its factory, registration under the machine's or
// the current user's classes, and the answers behind the module's exported entry points.

#include <windows.h>

#include "common/OleVariant.h"

namespace tallowmer::com {

struct ComClass {
  CLSID clsid;
  const wchar_t* clsidText;  // registry form, braces included
  const wchar_t* progId;
  const wchar_t* description;
  const wchar_t* threadingModel;
  // Constructs and initialises one object; may throw.
  DispatchPtr (*create)();
};

::HRESULT GetClassObject(const ComClass& comClass, REFCLSID clsid, REFIID iid, void** object);
::HRESULT CanUnloadNow();
::HRESULT RegisterServer(const ComClass& comClass, bool perUser);
::HRESULT UnregisterServer(const ComClass& comClass, bool perUser);
::HRESULT Install(const ComClass& comClass, BOOL install, LPCWSTR commandLine);

}  // namespace tallowmer::com
