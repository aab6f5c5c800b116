#include "ui/posix/TerminalSettingsView.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <string_view>
#include <thread>
#include <vector>

#include "common/uCommonUtils.h"
#include "ui/ufmCommonSettings.h"
#include "ui/ufmSettingsList.h"

namespace tallowmer {

namespace {

// The letters of the command menu: "o" and "x" stay free for OK and Cancel.
constexpr std::string_view kMenuLetters = "abcdefghijklmnpqrstuvwyz";
constexpr const char* kKeepHint = " (Esc и Enter: без изменений) ";

// A command of the menu as the user sees it: what to type and which item it runs.
struct TMenuOffer {
  std::string Key;
  size_t Index = 0;
};

// The items the menu offers now: the visible ones, the debug-log submenu only while its parent is.
std::vector<TMenuOffer> MenuOffers(const TfrmCommonSettings& dialog) {
  std::vector<TMenuOffer> offers;
  bool submenuShown = false;
  const std::vector<TMenuItem>& items = dialog.MenuItems();
  for (size_t index = 0; index < items.size(); ++index) {
    const TMenuItem& item = items[index];
    if (item.Command == TMenuCommand::OpenDebugLog) submenuShown = item.Visible && item.Enabled;
    if (item.Command == TMenuCommand::OpenDebugLog || item.Command == TMenuCommand::Separator) continue;
    if (!item.Visible || !item.Enabled || (item.InSubmenu && !submenuShown)) continue;
    const size_t number = offers.size();
    std::string key(1, kMenuLetters[number % kMenuLetters.size()]);
    if (number >= kMenuLetters.size()) key += std::to_string(number / kMenuLetters.size());
    offers.push_back({key, index});
  }
  return offers;
}

// Switches the terminal's echo off for as long as it lives; does nothing when `fd` is no terminal.
class TEchoOff {
 public:
  explicit TEchoOff(int fd) : FFd(fd) {
    if (FFd < 0 || ::tcgetattr(FFd, &FSaved) != 0) return;
    termios quiet = FSaved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    FActive = ::tcsetattr(FFd, TCSANOW, &quiet) == 0;
  }
  TEchoOff(const TEchoOff&) = delete;
  TEchoOff& operator=(const TEchoOff&) = delete;
  ~TEchoOff() {
    if (FActive) ::tcsetattr(FFd, TCSANOW, &FSaved);
  }
  bool Active() const { return FActive; }

 private:
  int FFd;
  termios FSaved{};
  bool FActive = false;
};

// The edit boxes of every page, numbered from 1 in this order.
std::vector<TPageEdit> AllEdits(const TfrmCommonSettings& dialog) {
  std::vector<TPageEdit> edits;
  for (const auto& page : dialog.Pages()) {
    for (TPageEdit& edit : page->Edits()) edits.push_back(std::move(edit));
  }
  return edits;
}

// One "•" per character of the UTF-8 text.
std::string Masked(const std::string& text) {
  std::string masked;
  for (const char byte : text) {
    if ((static_cast<unsigned char>(byte) & 0xC0) != 0x80) masked += "•";
  }
  return masked;
}

// A value of several lines, its further lines indented under the first.
std::string Indented(const std::string& text) {
  std::string indented;
  for (const char byte : text) {
    if (byte == '\r') continue;
    indented += byte;
    if (byte == '\n') indented += "    ";
  }
  const size_t end = indented.find_last_not_of(" \n");
  return end == std::string::npos ? "" : indented.substr(0, end + 1);
}

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The number in `text`, nothing unless all of it is one.
std::optional<int32_t> Number(std::string_view text) {
  int32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

TTerminalSettingsView::TTerminalSettingsView(const std::string& terminalPath)
    : FTerminalIn(terminalPath), FTerminalOut(terminalPath) {
  if (FTerminalIn.is_open() && FTerminalOut.is_open()) {
    FIn = &FTerminalIn;
    FOut = &FTerminalOut;
    FTerminalFd = ::open(terminalPath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  }
}

TTerminalSettingsView::~TTerminalSettingsView() {
  if (FTerminalFd >= 0) ::close(FTerminalFd);
}

TTerminalSettingsView::TTerminalSettingsView(std::istream& in, std::ostream& out) : FIn(&in), FOut(&out) {}

TModalResult TTerminalSettingsView::ShowModal(TfrmCommonSettings& dialog) {
  if (FIn == nullptr) return dialog.FormClose(mrCancel);
  for (;;) {
    PrintDialog(dialog);
    const std::optional<std::string> line = Ask("Номер поля или команда: ");
    // The input ended: as the close box, which cancels.
    const TModalResult result = line ? DialogCommand(dialog, Trimmed(*line)) : dialog.FormClose(mrCancel);
    if (result != mrNone) return result;
  }
}

void TTerminalSettingsView::PrintDialog(TfrmCommonSettings& dialog) {
  std::ostream& out = *FOut;
  out << "\n== " << kSettingsCaption << ": " << dialog.lbModelName() << " " << dialog.lbDiverVersion()
      << " ==\n";
  int32_t number = 0;
  for (const auto& page : dialog.Pages()) {
    out << "[" << page->Caption() << "]\n";
    for (const TPageEdit& edit : page->Edits()) {
      out << "  " << ++number << ". " << edit.Caption << " "
          << (edit.Masked ? Masked(*edit.Text) : *edit.Text) << "\n";
    }
  }
  out << "[" << kInformationTab << "]\n";
  for (const TInfoRow& row : dialog.InfoRows())
    out << "  " << row.Caption << " " << Indented(row.Value) << "\n";

  // Each print opens the menu anew, so that it follows the settings as they are now.
  dialog.mAdditionalyPopup();
  const std::vector<TMenuItem>& items = dialog.MenuItems();
  const std::vector<TMenuOffer> offers = MenuOffers(dialog);
  out << "\n";
  bool submenuHeaderShown = false;
  for (const TMenuOffer& offer : offers) {
    const TMenuItem& item = items[offer.Index];
    if (item.InSubmenu && !submenuHeaderShown) {
      for (const TMenuItem& parent : items) {
        if (parent.Command == TMenuCommand::OpenDebugLog) out << "  " << parent.Caption << ":\n";
      }
      submenuHeaderShown = true;
    }
    out << (item.InSubmenu ? "    " : "  ") << offer.Key << ". " << item.Caption << "\n";
  }
  out << "  " << kTerminalOk << ". ОК\n  " << kTerminalCancel << ". Отмена\n";
}

TModalResult TTerminalSettingsView::DialogCommand(TfrmCommonSettings& dialog, const std::string& line) {
  if (line == kTerminalOk) return dialog.FormClose(mrOk);
  if (line == kTerminalCancel) return dialog.FormClose(mrCancel);
  const std::vector<TPageEdit> edits = AllEdits(dialog);
  if (const std::optional<int32_t> number = Number(line);
      number && *number >= 1 && static_cast<size_t>(*number) <= edits.size()) {
    const TPageEdit& edit = edits[*number - 1];
    const std::optional<std::string> value = Ask(edit.Caption + kKeepHint, edit.Masked);
    if (value && *value != kTerminalEscape) *edit.Text = *value;
    return mrNone;
  }
  for (const TMenuOffer& offer : MenuOffers(dialog)) {
    if (offer.Key == line) {
      dialog.MenuItemClick(offer.Index);
      return mrNone;
    }
  }
  *FOut << "Нет такого поля или команды: " << line << "\n";
  return mrNone;
}

TModalResult TTerminalSettingsView::ShowSettingsList(TfrmSettingsList& list) {
  FList = &list;
  list.SetView(this);
  *FOut << "\n== " << kSettingsListCaption << " ==\n";
  PrintList(list);
  TModalResult result = mrNone;
  while (result == mrNone) {
    *FOut << "Номер строки: изменить значение; dN: значение по умолчанию в строке N; d: все по умолчанию; "
          << kTerminalOk << ": ОК; " << kTerminalCancel << ": Отмена\n";
    const std::optional<std::string> line = Ask("> ");
    result = line ? ListCommand(list, Trimmed(*line)) : mrCancel;
  }
  list.SetView(nullptr);
  FList = nullptr;
  return result;
}

void TTerminalSettingsView::PrintList(const TfrmSettingsList& list) {
  for (int32_t row = 0; row < list.RowCount(); ++row) {
    if (const std::optional<TSettingsRow> texts = list.lvSettingsData(row)) {
      *FOut << "  " << row + 1 << ". " << texts->Name << " = " << texts->Value
            << "  (по умолчанию: " << texts->Default << ")\n";
    }
  }
}

void TTerminalSettingsView::RedrawRow(int32_t row) {
  if (row < 0) return PrintList(*FList);
  if (const std::optional<TSettingsRow> texts = FList->lvSettingsData(row)) {
    *FOut << "  " << row + 1 << ". " << texts->Name << " = " << texts->Value << "\n";
  }
}

TModalResult TTerminalSettingsView::ListCommand(TfrmSettingsList& list, const std::string& line) {
  if (line == kTerminalOk) return mrOk;
  if (line == kTerminalCancel) return mrCancel;
  if (line == "d") {
    list.btnDefaultClick();
    return mrNone;
  }
  const bool toDefault = line.size() > 1 && line[0] == 'd';
  const std::optional<int32_t> row = Number(toDefault ? std::string_view(line).substr(1) : line);
  if (!row || *row < 1 || *row > list.RowCount()) {
    *FOut << "Нет такой строки или команды: " << line << "\n";
    return mrNone;
  }
  list.lvSettingsChange(*row - 1);
  if (toDefault) {
    list.miDefaultClick();
  } else {
    EditRow(list, *row - 1);
  }
  return mrNone;
}

void TTerminalSettingsView::EditRow(TfrmSettingsList& list, int32_t row) {
  *FOut << list.stStatus() << "\n";
  list.lvSettingsKeyDown(TKey::Enter);
  if (!list.EditorShown()) return;
  const std::optional<TSettingsRow> texts = list.lvSettingsData(row);
  const bool boolean = list.FEditControl == TSettingsEditor::cbEdit;
  const std::optional<std::string> value =
      Ask(texts->Name + (boolean ? " (0: False, 1: True; Esc и Enter: без изменений) " : kKeepHint),
          texts->Secret);
  if (!value || *value == kTerminalEscape) return list.edEditKeyDown(TKey::Escape);
  if (boolean) {
    const std::optional<int32_t> item = Number(Trimmed(*value));
    if (!item || (*item != 0 && *item != 1)) {
      *FOut << "Введите 0 или 1\n";
      return list.edEditKeyDown(TKey::Escape);
    }
    list.cbEditItemIndex = *item;
  } else {
    list.edEditText = *value;
  }
  list.edEditKeyDown(TKey::Enter);
}

void TTerminalSettingsView::ShowError(const std::string& caption, const std::string& text) {
  *FOut << caption << ": " << text << "\n";
}

void TTerminalSettingsView::SetBusy(bool busy) {
  // The end of the wait shows itself: the dialog is printed again.
  if (busy) *FOut << "Подождите...\n" << std::flush;
}

void TTerminalSettingsView::SetDeviceTestRunning(bool running) {
  if (running) *FOut << kDeviceTestRunning << "\n" << std::flush;
}

// A text terminal shows no file, page or help window itself: the user gets what to open.
void TTerminalSettingsView::OpenWithAssociatedProgram(const std::string& target, TShowWindow) {
  *FOut << "Откройте: " << target << "\n";
}

void TTerminalSettingsView::OpenHelpFile(const std::string& helpFile) {
  *FOut << "Справка: " << helpFile << "\n";
}

void TTerminalSettingsView::ShowHelpPopup(const THelpPopup& popup) {
  if (popup.TopicFile.empty()) {
    *FOut << popup.Text << "\n";
  } else {
    *FOut << "Справка: " << popup.TopicFile << ", раздел " << popup.Topic << "\n";
  }
}

TWaitEnd TTerminalSettingsView::WaitWhileBusy(const std::function<bool()>& finished,
                                              std::chrono::steady_clock::time_point deadline) {
  constexpr std::chrono::milliseconds kPause{20};
  if (FTerminalFd >= 0) *FOut << "Esc и Enter: прервать ожидание\n" << std::flush;
  while (!finished()) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return TWaitEnd::TimedOut;
    const auto pause = std::min(kPause, std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
    if (FTerminalFd < 0) {
      std::this_thread::sleep_for(pause);
      continue;
    }
    pollfd input{FTerminalFd, POLLIN, 0};
    if (::poll(&input, 1, static_cast<int>(pause.count())) <= 0 || (input.revents & POLLIN) == 0) continue;
    // The terminal hands over whole lines.
    std::string line;
    if (!std::getline(*FIn, line)) return TWaitEnd::Abandoned;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line == kTerminalEscape || line == kTerminalCancel) return TWaitEnd::Abandoned;
  }
  return TWaitEnd::Finished;
}

std::optional<std::string> TTerminalSettingsView::ChooseFile(const std::string& folder,
                                                             const std::string& filterName,
                                                             const std::string& filterPattern) {
  *FOut << filterName << " (" << filterPattern << ") в папке " << folder << "\n";
  const std::optional<std::string> name = Ask("Имя файла (пустая строка: отказ) ");
  if (!name || name->empty()) return std::nullopt;
  if (name->front() == '/' || folder.empty()) return *name;
  return IncludeTrailingPathDelimiter(folder) + *name;
}

std::optional<std::string> TTerminalSettingsView::Ask(const std::string& prompt, bool secret) {
  *FOut << prompt << std::flush;
  std::string line;
  const TEchoOff echoOff(secret ? FTerminalFd : -1);
  const bool read = static_cast<bool>(std::getline(*FIn, line));
  // The Enter that ended the line was not echoed either.
  if (echoOff.Active()) *FOut << "\n" << std::flush;
  if (!read) return std::nullopt;
  // A line pasted from a file written on Windows ends with a carriage return.
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace tallowmer
