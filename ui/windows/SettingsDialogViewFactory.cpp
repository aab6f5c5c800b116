#include "ui/SettingsDialogViewFactory.h"

namespace tallowmer {

// The Win32 dialog is still to be built: until then "ShowSettingsDlg" answers cancelled.
std::unique_ptr<ISettingsDialogView> CreateSettingsDialogView() {
  return nullptr;
}

}  // namespace tallowmer
