#include "ui/SettingsDialogViewFactory.h"

#include "ui/posix/TerminalSettingsView.h"

namespace tallowmer {

std::unique_ptr<ISettingsDialogView> CreateSettingsDialogView() {
  return std::make_unique<TTerminalSettingsView>();
}

}  // namespace tallowmer
