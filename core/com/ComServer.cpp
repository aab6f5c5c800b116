#include "core/com/ComServer.h"

#include <atomic>
#include <new>
#include <string>

#include "common/Exceptions.h"
#include "core/com/ComDispatch.h"
#include "core/com/ComHandles.h"
#include "platform/Env.h"
#include "platform/windows/WindowsSystem.h"

namespace tallowmer::com {
namespace {

using platform::windows::Widen;

std::atomic<LONG> serverLocks{0};

class ClassFactory final : public IClassFactory {
 public:
  explicit ClassFactory(const ComClass& comClass) : comClass_(comClass) {}

  ::HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory)) {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    *object = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG remaining = --references_;
    if (remaining == 0) delete this;
    return remaining;
  }

  ::HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    DispatchPtr core;
    try {
      core = comClass_.create();
    } catch (const std::exception& error) {
      return ReportConstructionFailure(error);
    } catch (...) {
      return E_UNEXPECTED;
    }
    try {
      const ComPtr<ComDispatchObject> created =
          ComPtr<ComDispatchObject>::Attach(new ComDispatchObject(core));
      return created->QueryInterface(iid, object);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
  }

  ::HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      ++serverLocks;
      return S_OK;
    }
    // One unlock too many must not keep the module loaded once the locks are rebalanced.
    LONG locks = serverLocks;
    while (locks > 0 && !serverLocks.compare_exchange_weak(locks, locks - 1)) {
    }
    return S_OK;
  }

 private:
  // A driver that cannot be built tells the user why in a box. Where even the box's text cannot be
  // made for want of memory, the answer says so.
  static ::HRESULT ReportConstructionFailure(const std::exception& error) noexcept {
    try {
      std::string message = error.what();
      if (message.empty() || message.back() != '.') message += '.';
      ::MessageBoxW(nullptr, Widen(message).c_str(), L"DAX Error", MB_OK | MB_ICONERROR | MB_TASKMODAL);
      return E_UNEXPECTED;
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    } catch (...) {
      return E_UNEXPECTED;
    }
  }

  std::atomic<ULONG> references_{1};
  const ComClass& comClass_;
};

class RegistryWriter {
 public:
  explicit RegistryWriter(bool perUser)
      : root_(perUser ? HKEY_CURRENT_USER : HKEY_CLASSES_ROOT),
        prefix_(perUser ? L"Software\\Classes\\" : L"") {}

  void SetDefault(const std::wstring& key, const std::wstring& value) { SetValue(key, nullptr, value); }

  void SetValue(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
    UniqueRegKey handle;
    const std::wstring path = prefix_ + key;
    if (::RegCreateKeyExW(root_, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, handle.put(),
                          nullptr) != ERROR_SUCCESS ||
        ::RegSetValueExW(handle.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                         static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) != ERROR_SUCCESS) {
      throw EOSError("Error creating system registry entry");
    }
  }

  bool Delete(const std::wstring& key) {
    const LSTATUS status = ::RegDeleteKeyW(root_, (prefix_ + key).c_str());
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
  }

 private:
  HKEY root_;
  std::wstring prefix_;
};

// The module's full path, in its short form when it contains a space.
std::wstring ServerPath() {
  std::wstring path = Widen(platform::Env::Current().ModuleFilePath());
  if (path.find(L' ') == std::wstring::npos) return path;
  const DWORD length = ::GetShortPathNameW(path.c_str(), nullptr, 0);
  if (length == 0) return path;
  std::wstring shortPath(length, L'\0');
  const DWORD written = ::GetShortPathNameW(path.c_str(), shortPath.data(), length);
  shortPath.resize(written);
  return written != 0 ? shortPath : path;
}

}  // namespace

::HRESULT GetClassObject(const ComClass& comClass, REFCLSID clsid, REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (!IsEqualCLSID(clsid, comClass.clsid)) return CLASS_E_CLASSNOTAVAILABLE;
  const ComPtr<ClassFactory> factory = ComPtr<ClassFactory>::Attach(new ClassFactory(comClass));
  return factory->QueryInterface(iid, object);
}

::HRESULT CanUnloadNow() {
  return ComDispatchObject::LiveObjects() == 0 && serverLocks == 0 ? S_OK : S_FALSE;
}

::HRESULT RegisterServer(const ComClass& comClass, bool perUser) {
  try {
    RegistryWriter registry(perUser);
    const std::wstring classKey = std::wstring(L"CLSID\\") + comClass.clsidText;
    registry.SetDefault(classKey, comClass.description);
    registry.SetDefault(classKey + L"\\InprocServer32", ServerPath());
    registry.SetValue(classKey + L"\\InprocServer32", L"ThreadingModel", comClass.threadingModel);
    registry.SetDefault(comClass.progId, comClass.description);
    registry.SetDefault(std::wstring(comClass.progId) + L"\\Clsid", comClass.clsidText);
    registry.SetDefault(classKey + L"\\ProgID", comClass.progId);
    return S_OK;
  } catch (const std::exception&) {
    return E_FAIL;
  }
}

::HRESULT UnregisterServer(const ComClass& comClass, bool perUser) {
  RegistryWriter registry(perUser);
  const std::wstring classKey = std::wstring(L"CLSID\\") + comClass.clsidText;
  bool ok = registry.Delete(classKey + L"\\ProgID");
  ok = registry.Delete(std::wstring(comClass.progId) + L"\\Clsid") && ok;
  ok = registry.Delete(comClass.progId) && ok;
  ok = registry.Delete(classKey + L"\\InprocServer32") && ok;
  ok = registry.Delete(classKey) && ok;
  return ok ? S_OK : E_FAIL;
}

::HRESULT Install(const ComClass& comClass, BOOL install, LPCWSTR commandLine) {
  const bool perUser = commandLine != nullptr && ::lstrcmpiW(commandLine, L"user") == 0;
  if (!install) return UnregisterServer(comClass, perUser);
  const HRESULT registered = RegisterServer(comClass, perUser);
  if (registered == E_FAIL) UnregisterServer(comClass, perUser);
  return registered;
}

}  // namespace tallowmer::com
