#pragma once

// TfrmSettingsList: every setting of a device in one table (name, value, default), edited in place
// straight in the device's settings registry. Keeping or undoing the changes is the caller's
// business: it saves the values before and restores them unless the list is closed with OK.

#include <cstdint>
#include <optional>
#include <string>

#include "device/uBaseDevice.h"
#include "ui/SettingsViews.h"

namespace tallowmer {

enum class TSettingsEditor : uint8_t { edEdit, cbEdit };

// The three texts of a table row.
struct TSettingsRow {
  std::string Name;
  std::string Value;
  std::string Default;
  // The values of a secret setting (the token) are shown as "•", one per character, and its
  // editor masks what is typed, as the settings page does.
  bool Secret = false;
};

class TfrmSettingsList {
 public:
  explicit TfrmSettingsList(TBaseDevice& ADeviceManager);

  // The table asks for the texts of a row; nothing for a row whose setting does not exist.
  std::optional<TSettingsRow> lvSettingsData(int32_t row) const;
  int32_t RowCount() const { return FRowCount; }
  int32_t Selected() const { return FSelected; }
  // The selection moves to `row` (-1 for none); an open edit is first stored in the old row.
  void lvSettingsChange(int32_t row);
  void lvSettingsDblClick() { BeginEdit(); }
  void lvSettingsKeyDown(TKey key);
  void edEditKeyDown(TKey key);
  // The editor lost the keyboard focus.
  void edEditExit() { EndEdit(false); }
  void btnDefaultClick();
  void miEditClick() { BeginEdit(); }
  void miDefaultClick();

  // The editor in use and whether it is shown, with the texts it holds.
  TSettingsEditor FEditControl = TSettingsEditor::edEdit;
  bool EditorShown() const { return FEditorShown; }
  std::string edEditText;
  // The chosen item of `cbEdit`: 0 is "False", 1 is "True".
  int32_t cbEditItemIndex = 0;
  // The description of the selected setting.
  const std::string& stStatus() const { return FStatus; }

  // Where the editor goes: over the value cell of the selected row.
  static TRect EditorBounds(int32_t column0Width, int32_t column1Width, const TRect& row);

  void SetView(ISettingsListView* view) { FView = view; }
  TBaseDevice& DeviceManager() const { return *FDeviceManager; }

 private:
  void BeginEdit();
  void EndEdit(bool ACancel);
  void RedrawRow(int32_t row);

  TBaseDevice* FDeviceManager;
  ISettingsListView* FView = nullptr;
  int32_t FRowCount;
  int32_t FSelected = -1;
  bool FEditorShown = false;
  std::string FStatus;
};

inline constexpr const char* kSettingsListCaption = "Список настроек";
// The items of `cbEdit`, in this order.
inline constexpr const char* kBooleanItems[] = {"False", "True"};

}  // namespace tallowmer
