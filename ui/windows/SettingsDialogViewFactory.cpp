#include "ui/SettingsDialogViewFactory.h"

#include "ui/windows/SettingsDialogWindow.h"

namespace tallowmer {

std::unique_ptr<ISettingsDialogView> CreateSettingsDialogView() {
  return std::make_unique<ui_windows::SettingsDialogWindow>();
}

}  // namespace tallowmer
