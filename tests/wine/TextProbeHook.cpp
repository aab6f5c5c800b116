// Loaded by the system into the process of the window that settings_robot.exe hooks: measures the
// window's texts there, where the controls' fonts are objects of the process, and sends the
// measures back to the robot. A font handle means nothing in another process.

#include <windows.h>

#include <string>

#include "tests/ui/windows/UiProbe.h"

namespace probe = tallowmer::ui_probe;

// A WH_CALLWNDPROC hook: sees the robot's request before the window does.
extern "C" __declspec(dllexport) LRESULT CALLBACK MeasureTextsHook(int code, WPARAM wParam, LPARAM lParam) {
  static const UINT request = ::RegisterWindowMessageW(probe::kMeasureTextsMessage);
  const auto* message = reinterpret_cast<const CWPSTRUCT*>(lParam);
  if (code == HC_ACTION && message != nullptr && message->message == request) {
    const std::wstring measures = probe::Serialize(probe::MeasureTexts(message->hwnd));
    COPYDATASTRUCT data{};
    data.dwData = request;
    data.cbData = static_cast<DWORD>((measures.size() + 1) * sizeof(wchar_t));
    data.lpData = const_cast<wchar_t*>(measures.c_str());
    ::SendMessageW(reinterpret_cast<HWND>(message->wParam), WM_COPYDATA,
                   reinterpret_cast<WPARAM>(message->hwnd), reinterpret_cast<LPARAM>(&data));
  }
  return ::CallNextHookEx(nullptr, code, wParam, lParam);
}
