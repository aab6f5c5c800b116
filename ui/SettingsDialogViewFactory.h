#pragma once

// The settings dialog's view for the platform the driver runs on.

#include <memory>

#include "ui/SettingsViews.h"

namespace tallowmer {

// The platform's view of the settings dialog; nullptr where the platform has none, and then the
// dialog cannot be shown.
std::unique_ptr<ISettingsDialogView> CreateSettingsDialogView();

}  // namespace tallowmer
