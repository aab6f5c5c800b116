#include "ui/ufmCommonSettings.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <memory>
#include <utility>

#include "common/DateTime.h"
#include "common/uCommon.h"
#include "common/uCommonUtils.h"
#include "common/uEquipmentErrors.h"
#include "platform/DetachedThread.h"
#include "platform/Env.h"
#include "ui/ufmSettingsList.h"

namespace tallowmer {

namespace {

// Sizes at 96 dots per inch that a hosted page has to fit beside.
constexpr int32_t kHeaderHeight = 49;
constexpr int32_t kFooterHeight = 53;
constexpr int32_t kTabStripHeight = 28;
constexpr int32_t kTabBorder = 4;

constexpr const char* kHelpFileName = "help";
constexpr const char* kHelpFileExtension = ".chm";
constexpr const char* kPopupsStream = "popups.txt";

// Undoes a step at the end of a scope, also when an exception leaves it.
template <typename TAction>
class TFinally {
 public:
  explicit TFinally(TAction action) : action_(std::move(action)) {}
  ~TFinally() { action_(); }
  TFinally(const TFinally&) = delete;
  TFinally& operator=(const TFinally&) = delete;

 private:
  TAction action_;
};

std::vector<TMenuItem> StandardMenu() {
  return {
      {"miReset", "Установить значения по-умолчанию", TMenuCommand::Reset},
      {"miDeviceTest", "Выполнить тест устройства", TMenuCommand::DeviceTest},
      {"miSettingsList", "Показать полный список настроек", TMenuCommand::SettingsList},
      {"miOpenDebugLog", "Просмотр отладочных логов", TMenuCommand::OpenDebugLog, false, false, false},
      {"miOpenCurrentDebugLog", "Открыть текущий отладочный лог", TMenuCommand::OpenCurrentDebugLog, true},
      {"miOpenDebugLogDirectory", "Открыть папку с файлами отладочных логов",
       TMenuCommand::OpenDebugLogDirectory, true},
      {"", "-", TMenuCommand::Separator},
      {"miHelp", "Справка", TMenuCommand::Help},
  };
}

}  // namespace

TfrmCommonSettings::TfrmCommonSettings(TBaseDevice& ADeviceManager,
                                       const std::vector<TPageClass>& PageClasses, ISettingsDialogView& view)
    : FDeviceManager(&ADeviceManager), FView(&view), FMenuItems(StandardMenu()) {
  for (const TPageClass PageClass : PageClasses) AddPage(PageClass(*FDeviceManager));
  FillInformation();
  ReadPagesSettings();
  ActiveTab = 0;
  if (FPages.empty()) SetCapSetDefault(false);
  FHelpEnabled = HelpFileExists();
  SetCapShowHelp(FHelpEnabled);
  AddAdditionalActions();
}

void TfrmCommonSettings::AddPage(std::unique_ptr<TfrmBaseSettings> PageFrm) {
  PageFrm->SetOwnerFrm(this);
  const TRect page = PageFrm->ClientRect();
  FClientRect.Width = std::max(FClientRect.Width, page.Width + 2 * kTabBorder);
  FClientRect.Height = std::max(
      FClientRect.Height, kHeaderHeight + kFooterHeight + kTabStripHeight + page.Height + 2 * kTabBorder);
  FPages.push_back(std::move(PageFrm));
}

void TfrmCommonSettings::AddPage(TPageClass PageClass) {
  AddPage(PageClass(*FDeviceManager));
  ReadPagesSettings();
}

void TfrmCommonSettings::AddPages(const std::vector<TPageClass>& PageClasses) {
  for (const TPageClass PageClass : PageClasses) AddPage(PageClass(*FDeviceManager));
  ReadPagesSettings();
  ActiveTab = 0;
  if (FPages.empty()) SetCapSetDefault(false);
}

void TfrmCommonSettings::NotifyPages(const std::string& Msg, const std::string& Data) {
  for (const auto& page : FPages) page->OnNotify(Msg, Data);
}

std::vector<std::string> TfrmCommonSettings::TabCaptions() const {
  std::vector<std::string> captions;
  for (const auto& page : FPages) captions.push_back(page->Caption());
  captions.emplace_back(kInformationTab);
  return captions;
}

void TfrmCommonSettings::FillInformation() {
  const TDeviceInfoStruct& info = FDeviceManager->DeviceInfo();
  const std::string version = FDeviceManager->GetDeviceVersion();
  FModelName = info.ModelName;
  FDriverVersion = version;
  FInfoRows = {
      {"Тип:", GetEquipmentTypeName(info.TypeName)},
      {"Модель:", info.ModelName},
      {"Версия:", version},
      {"Разработчик:", info.DeveloperName},
      {"Описание:", info.Description},
      {"Контактная информация:", FormatContactInfo(info)},
  };
  FCI_www = info.CI_www;
}

void TfrmCommonSettings::ReadPagesSettings() {
  for (const auto& page : FPages) page->OnReadSettings();
  FView->PagesRead();
}

bool TfrmCommonSettings::SavePagesSettings() {
  bool allowClose = true;
  for (const auto& page : FPages) {
    page->OnSaveSettings(allowClose);
    if (!allowClose) break;
    page->OnSaveSettings();
  }
  return allowClose;
}

TModalResult TfrmCommonSettings::FormClose(TModalResult ModalResult) {
  if (ModalResult != mrOk) {
    FDeviceManager->RestoreSettings();
    return ModalResult;
  }
  return SavePagesSettings() ? mrOk : mrNone;
}

void TfrmCommonSettings::mAdditionalyPopup() {
  SetCapOpenDebugLog(FDeviceManager->GetSettingValueBool("DebugLogEnabled"));
}

void TfrmCommonSettings::MenuItemClick(size_t index) {
  if (index >= FMenuItems.size()) return;
  const TMenuItem& item = FMenuItems[index];
  if (!item.Visible || !item.Enabled) return;
  // As the platform's form library does for an event handler: the message goes to the user.
  try {
    switch (item.Command) {
      case TMenuCommand::Reset:
        miResetClick();
        break;
      case TMenuCommand::DeviceTest:
        miDeviceTestClick();
        break;
      case TMenuCommand::SettingsList:
        miSettingsListClick();
        break;
      case TMenuCommand::OpenCurrentDebugLog:
        miOpenCurrentDebugLogClick();
        break;
      case TMenuCommand::OpenDebugLogDirectory:
        miOpenDebugLogDirectoryClick();
        break;
      case TMenuCommand::Help:
        miHelpClick();
        break;
      case TMenuCommand::AdditionalAction:
        AdditionalActionClick(item.Tag);
        break;
      case TMenuCommand::OpenDebugLog:
      case TMenuCommand::Separator:
        break;
    }
  } catch (const std::exception& error) {
    FView->ShowError(kErrorCaption, error.what());
  }
}

void TfrmCommonSettings::miResetClick() {
  FDeviceManager->SetAllSettingsDefault();
  ReadPagesSettings();
}

TDeviceTestWait::TDeviceTestWait(ISettingsDialogView& view, std::chrono::milliseconds limit)
    : FView(view), FLimit(limit) {}

std::chrono::milliseconds TDeviceTestWait::Remaining() const {
  return FEnd == TWaitEnd::Finished ? FLimit : std::chrono::milliseconds(0);
}

TWaitEnd TDeviceTestWait::Run(std::function<void()> work) {
  // The work is given the limit (Remaining) and ends by its own time-out first; the view gives up
  // only on work that overruns it by this much.
  constexpr std::chrono::milliseconds kOverrun{2'000};
  if (FEnd != TWaitEnd::Finished) return FEnd;
  const auto start = std::chrono::steady_clock::now();
  auto job = std::make_shared<std::function<void()>>(std::move(work));
  auto finished = std::make_shared<std::atomic<bool>>(false);
  const bool threadStarted = platform::StartDetachedThread([job, finished] {
    try {
      (*job)();
    } catch (...) {
    }
    finished->store(true);
  });
  TWaitEnd end = TWaitEnd::Finished;
  if (threadStarted) {
    end = FView.WaitWhileBusy([finished] { return finished->load(); }, start + FLimit + kOverrun);
  } else {
    // Without a thread of its own the work runs here, and the dialog waits without answering.
    (*job)();
  }
  // Work that took its whole time timed out, whoever noticed first.
  FEnd = end == TWaitEnd::Finished && std::chrono::steady_clock::now() - start >= FLimit ? TWaitEnd::TimedOut
                                                                                         : end;
  return end;
}

void TfrmCommonSettings::miDeviceTestClick() {
  std::string text;
  bool ok = false;
  TDeviceTestWait wait(*FView, kDeviceTestRequestLimit);
  {
    FDeviceManager->StoreSettings();
    FView->SetDeviceTestRunning(true);
    FDeviceManager->SetResponsiveWait(&wait);
    const TFinally undo([this] {
      FDeviceManager->SetResponsiveWait(nullptr);
      FDeviceManager->Disable();
      FDeviceManager->RestoreSettings();
      FView->SetDeviceTestRunning(false);
    });
    ok = SavePagesSettings();
    if (ok) {
      std::string resultDescription;
      const int32_t code = FDeviceManager->Enable(resultDescription);
      text = GetResultDescription(code, resultDescription);
      ok = code == kResultOk;
    } else {
      text = kSaveFailed;
    }
    if (ok) ok = FDeviceManager->DeviceTest(text);
  }
  // The user who gave up knows why the test ended.
  if (!ok && wait.End() != TWaitEnd::Abandoned) FView->ShowError(kErrorCaption, text);
}

void TfrmCommonSettings::miSettingsListClick() {
  FDeviceManager->StoreSettings();
  TfrmSettingsList list(*FDeviceManager);
  if (FView->ShowSettingsList(list) == mrOk) {
    // The saved copy stays, so that Cancel of this dialog still puts back the values of before.
    ReadPagesSettings();
  } else {
    FDeviceManager->RestoreSettings();
  }
}

void TfrmCommonSettings::miOpenCurrentDebugLogClick() {
  platform::Env& env = platform::Env::Current();
  std::string folder = FDeviceManager->DeviceFolder;
  if (!folder.empty()) folder = IncludeTrailingPathDelimiter(folder);
  const std::string file = folder + "Debug_" + FormatDateTime("yyyy.mm.dd", env.Now()) + ".log";
  if (env.FileExists(file)) {
    FView->OpenWithAssociatedProgram(file, TShowWindow::Restored);
  } else {
    FView->ShowError(kErrorCaption, kDebugLogNotFound);
  }
}

void TfrmCommonSettings::miOpenDebugLogDirectoryClick() {
  const std::optional<std::string> file =
      FView->ChooseFile(FDeviceManager->DeviceFolder, "Файлы log", "*.log;");
  if (file) FView->OpenWithAssociatedProgram(*file, TShowWindow::Restored);
}

void TfrmCommonSettings::miHelpClick() {
  FView->OpenHelpFile(FHelpFile);
}

void TfrmCommonSettings::imgLogoClick() {
  SetBusy(true);
  const TFinally normalPointer([this] { SetBusy(false); });
  FView->OpenWithAssociatedProgram(FCI_www, TShowWindow::Maximized);
}

void TfrmCommonSettings::AddAdditionalActions() {
  const int32_t count = FDeviceManager->AddActionsCount();
  if (count == 0) return;
  FMenuItems.push_back({"", "-", TMenuCommand::Separator});
  for (int32_t index = 0; index < count; ++index) {
    FMenuItems.push_back({"", FDeviceManager->GetAddAction(index)->Caption, TMenuCommand::AdditionalAction,
                          false, true, true, index});
  }
}

void TfrmCommonSettings::AdditionalActionClick(int32_t Tag) {
  const TAdditionalAction* action = FDeviceManager->GetAddAction(Tag);
  if (action == nullptr) return;
  std::string resultDescription;
  if (FDeviceManager->RunAdditionalAction(action->ID, resultDescription) != kResultOk)
    FView->ShowError(kErrorCaption, resultDescription);
}

void TfrmCommonSettings::SetCap(TMenuCommand command, bool value) {
  for (TMenuItem& item : FMenuItems) {
    if (item.Command == command) {
      item.Visible = value;
      item.Enabled = value;
    }
  }
}

bool TfrmCommonSettings::HelpFileExists() {
  FHelpFile =
      IncludeTrailingPathDelimiter(ExtractFileDir(GetModuleFilePath())) + kHelpFileName + kHelpFileExtension;
  return platform::Env::Current().FileExists(FHelpFile);
}

std::string TfrmCommonSettings::GetHelpByID(int32_t ID) {
  switch (ID) {
    case 1000:
      return "Дополнительные функции: \r\n - Установка параметров в значение по умолчанию\r\n - Тест "
             "работоспособности устройства\r\n - Отображение полного списка настроек\r\n - Справка";
    case 1001:
      return "Сохранить настройки и закрыть окно";
    case 1002:
      return "Закрыть окно без сохранения настроек";
    case kPagesHelpID:
      return kPagesHint;
    case kStopDeviceTestHelpID:
      return "Прервать тест устройства; окно настроек останется открытым";
    case kResetAllHelpID:
      return "Установить все значения по-умолчанию";
    case kSettingsTableHelpID:
      return "Все настройки устройства. Enter или F2 - изменить значение выбранной строки; в контекстном "
             "меню - \"Редактировать\" и \"По-умолчанию\" для одной строки";
    default:
      return "";
  }
}

bool TfrmCommonSettings::FormHelp(THelpCommand Command, int32_t Data) {
  if (Command == THelpCommand::SetPopupPosition) {
    // Signed halves: a screen left of or above the primary one has negative coordinates.
    const auto packed = static_cast<uint32_t>(Data);
    FPopupPos = {static_cast<int16_t>(packed & 0xFFFF), static_cast<int16_t>(packed >> 16)};
  } else if (Command == THelpCommand::ContextPopup) {
    THelpPopup popup{FPopupPos, "", "", 0};
    if (Data == kPagesHelpContext) {
      popup.Text = FView->GetControlHintByPos(popup.Pos);
    } else if (Data >= 1000) {
      popup.Text = GetHelpByID(Data);
    } else if (FHelpEnabled && Data > 0) {
      popup.TopicFile = FHelpFile + "::/" + kPopupsStream;
      popup.Topic = Data;
    }
    // A control without help of its own (an edit box of a page, the settings list's table) gets
    // the help of the pages it sits on: the help promises a tip for every element.
    if (popup.Text.empty() && popup.TopicFile.empty()) popup.Text = GetHelpByID(kPagesHelpID);
    FView->ShowHelpPopup(popup);
  }
  return true;
}

bool ShowSettingsForm(TBaseDevice& device, const std::vector<TPageClass>& PageClasses, bool NoDeviceTest,
                      ISettingsDialogView& view) {
  device.StoreFocus();
  const TFinally restoreFocus([&device] { device.RestoreFocus(); });
  auto dialog = std::make_unique<TfrmCommonSettings>(device, PageClasses, view);
  dialog->SetCapDeviceTest(!NoDeviceTest);
  const bool confirmed = view.ShowModal(*dialog) == mrOk;
  device.DoSettingsChanged();
  dialog.reset();
  return confirmed;
}

}  // namespace tallowmer
