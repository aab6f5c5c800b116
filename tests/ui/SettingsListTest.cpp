#include <gtest/gtest.h>

#include "common/VariantConvert.h"
#include "tests/device/DeviceTestSupport.h"
#include "tests/ui/UiTestSupport.h"

namespace tallowmer {
namespace {

using testing::Held;
using testing::SelectSetting;
using testing::TUiTestDevice;

class RecordingListView : public ISettingsListView {
 public:
  void RedrawRow(int32_t row) override { redrawn.push_back(row); }
  void EditorChanged() override { ++editorChanges; }

  std::vector<int32_t> redrawn;
  int editorChanges = 0;
};

class SettingsListTest : public ::testing::Test {
 protected:
  SettingsListTest() { list.SetView(&view); }

  testing::TestEnv env;
  Held<TUiTestDevice> device;
  TfrmSettingsList list{*device};
  RecordingListView view;
};

TEST_F(SettingsListTest, RowsFollowTheRegistryWithNameValueAndDefault) {
  device->SetSettingValue("Retries", OleVariant::Int32(7));
  ASSERT_EQ(list.RowCount(), 7);
  const std::optional<TSettingsRow> retries = list.lvSettingsData(5);
  ASSERT_TRUE(retries);
  EXPECT_EQ(retries->Name, "Повторы");
  EXPECT_EQ(retries->Value, "7");
  EXPECT_EQ(retries->Default, "3");
  const std::optional<TSettingsRow> debugLog = list.lvSettingsData(2);
  ASSERT_TRUE(debugLog);
  EXPECT_EQ(debugLog->Value, "False");
  EXPECT_FALSE(list.lvSettingsData(7));
  EXPECT_FALSE(list.lvSettingsData(-1));
}

TEST_F(SettingsListTest, SecretValuesAreMaskedButEditedInFull) {
  device->SetSettingValue("Token", OleVariant::Text("tök-12"));
  SelectSetting(list, "Token");
  const std::optional<TSettingsRow> token = list.lvSettingsData(list.Selected());
  ASSERT_TRUE(token);
  EXPECT_TRUE(token->Secret);
  EXPECT_EQ(token->Value, "••••••");
  EXPECT_EQ(token->Default, "");
  EXPECT_FALSE(list.lvSettingsData(5)->Secret);

  list.lvSettingsKeyDown(TKey::Enter);
  EXPECT_EQ(list.edEditText, "tök-12");
  list.edEditText = "new-token";
  list.edEditKeyDown(TKey::Enter);
  EXPECT_EQ(VarToStr(device->GetSetting(list.Selected())->Value), "new-token");
}

// How an edit ends.
enum class Finish { EditorEnter, EditorEscape, TableEscape, LeaveEditor };

struct EditCase {
  const char* name;
  const char* setting;
  TKey opener;
  const char* typed;
  Finish finish;
  OleVariant expected;
};

void PrintTo(const EditCase& edit, std::ostream* out) {
  *out << edit.name;
}

class SettingsListEditTest : public SettingsListTest, public ::testing::WithParamInterface<EditCase> {};

TEST_P(SettingsListEditTest, StoresOrDropsTheTypedText) {
  const EditCase& edit = GetParam();
  SelectSetting(list, edit.setting);
  list.lvSettingsKeyDown(edit.opener);
  ASSERT_TRUE(list.EditorShown());
  EXPECT_EQ(list.FEditControl, TSettingsEditor::edEdit);
  list.edEditText = edit.typed;
  switch (edit.finish) {
    case Finish::EditorEnter:
      list.edEditKeyDown(TKey::Enter);
      break;
    case Finish::EditorEscape:
      list.edEditKeyDown(TKey::Escape);
      break;
    case Finish::TableEscape:
      list.lvSettingsKeyDown(TKey::Escape);
      break;
    case Finish::LeaveEditor:
      list.edEditExit();
      break;
  }
  EXPECT_FALSE(list.EditorShown());
  const OleVariant stored = device->GetSettingValue(edit.setting);
  EXPECT_EQ(stored.Type(), edit.expected.Type());
  EXPECT_EQ(VarToStr(stored), VarToStr(edit.expected));
  EXPECT_EQ(view.editorChanges, 2);
}

INSTANTIATE_TEST_SUITE_P(
    Edits, SettingsListEditTest,
    ::testing::Values(EditCase{"NumberThatDoesNotParseBecomesZero", "Retries", TKey::Enter, "abc",
                               Finish::EditorEnter, OleVariant::Double(0)},
                      EditCase{"NumberIsParsed", "Retries", TKey::F2, "42", Finish::EditorEnter,
                               OleVariant::Double(42)},
                      EditCase{"EscapeInTheEditorDropsTheEdit", "Retries", TKey::Enter, "42",
                               Finish::EditorEscape, OleVariant::Int32(3)},
                      EditCase{"EscapeInTheTableStoresTheEdit", "Host", TKey::Enter, "https://typed.example",
                               Finish::TableEscape, OleVariant::Text("https://typed.example")},
                      EditCase{"LeavingTheEditorStoresTheEdit", "Token", TKey::F2, "secret",
                               Finish::LeaveEditor, OleVariant::Text("secret")},
                      EditCase{"ReadOnlySettingIsEditedLikeAnyOther", "Serial", TKey::Enter, "B-2",
                               Finish::EditorEnter, OleVariant::Text("B-2")}),
    [](const ::testing::TestParamInfo<EditCase>& info) { return std::string(info.param.name); });

TEST_F(SettingsListTest, EditorOpensWithTheCurrentValueAsText) {
  device->SetSettingValue("Retries", OleVariant::Int32(12));
  SelectSetting(list, "Retries");
  list.lvSettingsDblClick();
  EXPECT_EQ(list.edEditText, "12");
}

TEST_F(SettingsListTest, BooleanSettingIsEditedWithTheDropDown) {
  SelectSetting(list, "DebugLogEnabled");
  list.miEditClick();
  ASSERT_TRUE(list.EditorShown());
  EXPECT_EQ(list.FEditControl, TSettingsEditor::cbEdit);
  EXPECT_EQ(list.cbEditItemIndex, 0);
  list.cbEditItemIndex = 1;
  list.edEditKeyDown(TKey::Enter);
  EXPECT_EQ(device->GetSettingValue("DebugLogEnabled").Type(), varBoolean);
  EXPECT_TRUE(device->GetSettingValueBool("DebugLogEnabled"));
  EXPECT_EQ(list.lvSettingsData(2)->Value, "True");
  EXPECT_EQ(view.redrawn, std::vector<int32_t>{2});

  list.lvSettingsKeyDown(TKey::F2);
  EXPECT_EQ(list.cbEditItemIndex, 1);
}

TEST_F(SettingsListTest, TheOpenEditIsKeptWhenEditingIsAskedForAgain) {
  SelectSetting(list, "Host");
  list.lvSettingsKeyDown(TKey::Enter);
  list.edEditText = "typed";
  list.lvSettingsKeyDown(TKey::F2);
  list.miEditClick();
  EXPECT_EQ(list.edEditText, "typed");
  EXPECT_EQ(view.editorChanges, 1);
}

TEST_F(SettingsListTest, EnterInAHiddenEditorStartsAnEdit) {
  SelectSetting(list, "Host");
  list.edEditKeyDown(TKey::Enter);
  EXPECT_TRUE(list.EditorShown());
  EXPECT_EQ(list.edEditText, testing::kDefaultHost);
}

TEST_F(SettingsListTest, NothingIsEditedWithoutASelectedSetting) {
  list.lvSettingsKeyDown(TKey::Enter);
  EXPECT_FALSE(list.EditorShown());
  list.lvSettingsChange(99);
  list.lvSettingsKeyDown(TKey::Enter);
  list.miDefaultClick();
  EXPECT_FALSE(list.EditorShown());
  EXPECT_TRUE(view.redrawn.empty());
}

TEST_F(SettingsListTest, ChoosingAnotherRowStoresTheEditOfTheFirstAndShowsTheNewDescription) {
  SelectSetting(list, "Host");
  EXPECT_EQ(list.stStatus(), "Хост сервера");
  list.lvSettingsKeyDown(TKey::Enter);
  list.edEditText = "https://first.example";
  SelectSetting(list, "Retries");
  EXPECT_FALSE(list.EditorShown());
  EXPECT_EQ(device->GetSettingValueStr("Host"), "https://first.example");
  EXPECT_EQ(device->GetSettingValueInt("Retries"), 3);
  EXPECT_EQ(list.stStatus(), "Число повторов");
}

TEST_F(SettingsListTest, DefaultOfTheContextMenuResetsOnlyTheSelectedRow) {
  device->SetSettingValue("Host", OleVariant::Text("https://changed.example"));
  device->SetSettingValue("Retries", OleVariant::Int32(9));
  SelectSetting(list, "Retries");
  list.miDefaultClick();
  EXPECT_EQ(device->GetSettingValueInt("Retries"), 3);
  EXPECT_EQ(device->GetSettingValueStr("Host"), "https://changed.example");
  EXPECT_EQ(view.redrawn, std::vector<int32_t>{5});
}

TEST_F(SettingsListTest, DefaultButtonResetsEveryRow) {
  device->SetSettingValue("Host", OleVariant::Text("https://changed.example"));
  device->SetSettingValue("Retries", OleVariant::Int32(9));
  list.btnDefaultClick();
  EXPECT_EQ(device->GetSettingValueInt("Retries"), 3);
  EXPECT_EQ(device->GetSettingValueStr("Host"), testing::kDefaultHost);
  EXPECT_EQ(view.redrawn, std::vector<int32_t>{-1});
}

TEST(SettingsListEditorBounds, CoverTheValueCellOfTheRow) {
  const TRect bounds = TfrmSettingsList::EditorBounds(190, 90, {2, 40, 370, 17});
  EXPECT_EQ(bounds.Left, 195);
  EXPECT_EQ(bounds.Top, 40);
  EXPECT_EQ(bounds.Width, 90);
  EXPECT_EQ(bounds.Height, 24);
}

}  // namespace
}  // namespace tallowmer
