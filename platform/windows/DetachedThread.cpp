#include "platform/DetachedThread.h"

#include <windows.h>

#include <memory>

namespace tallowmer::platform {
namespace {

struct DetachedWork {
  std::function<void()> work;
  HMODULE module = nullptr;
};

DWORD WINAPI RunDetachedWork(void* parameter) {
  std::unique_ptr<DetachedWork> job(static_cast<DetachedWork*>(parameter));
  try {
    job->work();
  } catch (...) {
  }
  HMODULE module = job->module;
  job.reset();
  // The host may have released the driver and unloaded it meanwhile: the reference taken at the
  // start kept the code here, and is given back only by a call that does not return into it.
  ::FreeLibraryAndExitThread(module, 0);
}

}  // namespace

bool StartDetachedThread(std::function<void()> work) {
  auto job = std::make_unique<DetachedWork>();
  job->work = std::move(work);
  if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&RunDetachedWork), &job->module))
    return false;
  HANDLE thread = ::CreateThread(nullptr, 0, RunDetachedWork, job.get(), 0, nullptr);
  if (thread == nullptr) {
    ::FreeLibrary(job->module);
    return false;
  }
  job.release();
  ::CloseHandle(thread);
  return true;
}

}  // namespace tallowmer::platform
