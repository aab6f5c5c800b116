#include "tools/host/HostHelp.h"

#include <algorithm>
#include <cstring>
#include <iomanip>

#include "tools/host/HostOptions.h"

namespace tallowmer::host {
namespace {

const char* const kUsageStart = R"(usage: ls_tallowmer_host [OPTIONS] SCRIPT|-
       ls_tallowmer_host [OPTIONS] call METHOD [INDATA]
       ls_tallowmer_host [OPTIONS] settings [--output FILE]
       ls_tallowmer_host [OPTIONS] check
       ls_tallowmer_host -h|--help

Drives the loyalty driver as a point-of-sale host does: creates the driver object, calls Init with
its own equipment manager, Open with the device ID, SetSettings (when --set or --settings give
values) and Enable, then the calls you ask for, and finally Disable and Close.

Subcommands:
  SCRIPT | -            run the JSON call lines of the file SCRIPT (- : standard input), one JSON
                        answer line each on standard output:
                          {"call":"GetCustomerData","in":["79001234567",0,0]}
                          {"call":"CloseOrder","args":[INDATA, OUTDATA, TIMEOUT]}
                        "in" gives InData and passes an empty OutData and TimeOut 0; "args" gives
                        every argument. The answer line holds "hresult", "result" (true: success)
                        and "args", every argument after the call wrote it back. Variants beyond
                        plain JSON: {"$empty":null} {"$currency":"150.5"}
                        {"$date":"2024-01-31 10:20:30"} {"$i2":5} {"$i8":5} {"$ui1":65} {"$r4":1.5}
                        {"$ansi":"text"} {"$matrix":[[...],[...]]} (element [i][j])
                        {"$array":{"lbound":1,"items":[...]}} {"$byref":X} {"$manager":{}}
  call METHOD [INDATA]  one call with INDATA (JSON as above, default Empty), OutData empty and
                        TimeOut 0; prints the answer with the meaning of each OutData element
  settings              the settings dialog as text on the terminal (fields by number, commands
                        by letter, o OK, x Cancel); on OK prints the settings as one JSON object
                        that --settings reads back; on Cancel, or without a terminal, nothing
  check                 checks the connection to the service with the Host and Token settings,
                        step by step, one Russian line each with its time and verdict: the Host
                        setting, the name and its addresses, the proxy, TCP, TLS (certificate,
                        trust), the ping with the token (200, or 401 for a wrong token), the
                        clock against the service's Date (a warning over 2 minutes); then a
                        one-line verdict. The token is never printed. On Windows a first line
                        names the driver's registrations for 32- and 64-bit programs and warns
                        when this user's own one overrides the one for every user

Options:
)";

// After the options.
const char* const kUsageEnd =
    R"(Values may also follow an equals sign: --device-id=2. Everything is checked before the driver's
Init runs: an unknown option or setting ID, a malformed value or INDATA, an unreadable file.
)";

const char* const kTimeOut = R"(TimeOut (the third argument of every method that takes InData and OutData):
  an integer number of seconds that a device which waits on the host's behalf may wait; 0 means
  the setting DefaultTimeOut. The host passes 0. This driver waits for nothing but the service's
  answer, and that is bounded by its own limits (10 s to connect, 30 s for a request), so no
  method reads TimeOut and DefaultTimeOut changes nothing here.
)";

const char* const kExitStatuses = R"(Exit statuses:
  0  call: the method answered true. SCRIPT: every line ran, whatever each call answered (read
     "result" in the answer lines). settings: the dialog closed with OK. check: every step passed.
  1  call: the method answered false or raised an exception. Init, Open, SetSettings or Enable
     failed (the reason is on standard error). settings: the dialog was cancelled, or no
     terminal is available. check: a step failed. Any other failure.
  2  a bad command line: nothing ran. SCRIPT: a malformed line; the lines before it ran and were
     answered, the rest did not run.
)";

// "-h, --help" or "--ca FILE": how an option is written in the first column.
std::string OptionSynopsis(const OptionSpec& option) {
  if (option.alias != nullptr) return std::string(option.alias) + ", " + option.name;
  const char* value = option.helpValueName != nullptr ? option.helpValueName : option.valueName;
  return value == nullptr ? option.name : std::string(option.name) + " " + value;
}

// Each option's help lines in a column wide enough for the longest synopsis.
void PrintOptions(std::ostream& out) {
  size_t width = 0;
  for (const OptionSpec& option : HostOptionTable()) width = std::max(width, OptionSynopsis(option).size());
  const std::string indent(2 + width + 2, ' ');
  for (const OptionSpec& option : HostOptionTable()) {
    out << "  " << std::left << std::setw(static_cast<int>(width) + 2) << OptionSynopsis(option);
    for (const char* line = option.help;; ++line) {
      const char* end = std::strchr(line, '\n');
      if (end == nullptr) {
        out << line << "\n";
        break;
      }
      out.write(line, end - line) << "\n" << indent;
      line = end;
    }
  }
}

// Each column of a table wide enough for its longest entry.
void PrintElements(std::ostream& out, const char* title, const std::vector<ElementHelp>& elements) {
  if (elements.empty()) return;
  size_t typeWidth = 0;
  size_t presenceWidth = 0;
  for (const ElementHelp& element : elements) {
    typeWidth = std::max(typeWidth, element.type.size());
    presenceWidth = std::max(presenceWidth, element.presence.size());
  }
  out << "    " << title << ":\n";
  for (const ElementHelp& element : elements) {
    out << "      " << std::left << std::setw(6) << element.index
        << std::setw(static_cast<int>(typeWidth) + 2) << element.type;
    if (presenceWidth > 0) out << std::setw(static_cast<int>(presenceWidth) + 2) << element.presence;
    out << element.meaning << "\n";
  }
}

void PrintMethods(std::ostream& out) {
  out << "Methods (InData and OutData are one-dimensional arrays, lower bound 0; a required element\n"
         "that is missing, or any element that does not convert, answers 1004; optional elements that\n"
         "are absent, Empty or Null take the default shown; \"passed on\" elements belong to the host's\n"
         "loyalty-equipment interface and this driver does not read them. On failure OutData is\n"
         "[code, description]. A method not supported answers 1003.):\n";
  for (const MethodHelp& method : MethodHelpTable()) {
    out << "  " << method.name << ": " << method.purpose << "\n";
    if (!method.arguments.empty()) out << "    " << method.arguments << "\n";
    PrintElements(out, "InData", method.inData);
    PrintElements(out, "OutData", method.outData);
  }
  out << "  Identifier kinds: 0 telephone, 1 card number, 2 card token or barcode, 3 the service's\n"
         "  client ID (only the low 8 bits count). Receipt table: a two-dimensional array\n"
         "  [column][line] ({\"$matrix\":...}); columns 2 product ID, 3 name, 4 discount (currency),\n"
         "  5 quantity, 6 amount before discount (currency); columns 0, 1 and above 6 are not read.\n\n";
}

// Display width in characters, for the Cyrillic captions.
size_t TextWidth(const std::string& text) {
  return static_cast<size_t>(std::count_if(
      text.begin(), text.end(), [](char byte) { return (static_cast<unsigned char>(byte) & 0xC0) != 0x80; }));
}

void PrintSettings(std::ostream& out, const std::vector<SettingInfo>& settings) {
  out << "Settings (as the driver declares them; IDs are matched ignoring case):\n";
  size_t idWidth = 2;
  size_t defaultWidth = 7;
  for (const SettingInfo& setting : settings) {
    idWidth = std::max(idWidth, setting.id.size());
    defaultWidth = std::max(defaultWidth, TextWidth(setting.defaultText));
  }
  out << "  " << std::left << std::setw(static_cast<int>(idWidth) + 2) << "ID" << std::setw(9) << "type"
      << "default" << std::string(defaultWidth - 7 + 2, ' ') << "meaning\n";
  for (const SettingInfo& setting : settings) {
    out << "  " << std::left << std::setw(static_cast<int>(idWidth) + 2) << setting.id << std::setw(9)
        << setting.type << setting.defaultText
        << std::string(defaultWidth - TextWidth(setting.defaultText) + 2, ' ');
    // A description that repeats the caption says it all; one that does not gets the caption first.
    if (setting.description.rfind(setting.name, 0) == 0) {
      out << setting.description;
    } else {
      out << setting.name << ". " << setting.description;
    }
    out << (setting.secret ? " (secret: never shown or logged)" : "") << "\n";
  }
  out << "\n";
}

void PrintLogs(std::ostream& out, const HelpFolders& folders) {
  const std::string deviceFolder = folders.devicesFolder + "/" + folders.deviceId + "/";
  out << "Logs:\n"
         "  standard error  the host's own lines: [host] the calls around yours and their answers,\n"
         "                  [manager] what the driver reported to the host's equipment manager\n"
         "  HTTP log        every exchange with the service, token masked, always written:\n"
         "                  "
      << deviceFolder
      << "http_YYYY.MM.DD.log\n"
         "  debug log       with --set DebugLogEnabled=true, every call and request:\n"
         "                  "
      << deviceFolder
      << "Debug_YYYY.MM.DD.log\n"
         "  Before Open has given a device folder (--raw) the debug log goes to\n"
         "  "
      << folders.commonDataFolder << "ls_tallowmer_host/ and the HTTP log to " << folders.commonDataFolder
      << "Quorvane/ls_tallowmer/logs/.\n"
         "  The default devices folder is <data>/Quorvane/ls_tallowmer/devices, where <data> is\n"
         "  $LS_TALLOWMER_DATA_DIR when set, else /var/lib when writable (root), else\n"
         "  $XDG_DATA_HOME or ~/.local/share.\n"
         "  A log that another user has tampered with (a link, a folder or a file of theirs in its\n"
         "  place, the device folder swapped) is not written: its lines go to the same file name in\n"
         "  your own folder, readable by you alone, which notes the refusal once:\n"
         "  <state>/Quorvane/ls_tallowmer/logs/, where <state> is $LS_TALLOWMER_DATA_DIR/user/<uid>\n"
         "  when set, else $XDG_STATE_HOME when it is an absolute path nobody else can change, else\n"
         "  ~/.local/state of your home in the user database.\n";
}

}  // namespace

const std::vector<MethodHelp>& MethodHelpTable() {
  static const std::vector<MethodHelp> table{
      {"Init",
       "takes the host's equipment manager (the host calls it; see --raw)",
       "arguments: 0 the equipment manager ({\"$manager\":{}}), 1 receives the description; "
       "result true on success",
       {},
       {}},
      {"Open",
       "takes the device identifier, which fixes the device folder",
       "arguments: 0 the device ID (string), 1 receives the description; result true on success",
       {},
       {}},
      {"Close", "lets go of the equipment manager", "no arguments; result always true", {}, {}},
      {"ShowSettingsDlg", "the settings dialog (here: on the terminal); 201 when cancelled", "", {}, {}},
      {"GetDeviceInfo",
       "the driver's information",
       "",
       {},
       {{"0", "string", "", "equipment type"},
        {"1", "string", "", "model ID"},
        {"2", "string", "", "model name"},
        {"3-5", "integer", "", "major, minor and build version"},
        {"6", "string", "", "processor name (the ProgID)"},
        {"7", "integer", "", "processor type"},
        {"8", "boolean", "", "has a settings dialog"},
        {"9", "string", "", "description"},
        {"10", "string", "", "developer"},
        {"11-14", "string", "", "contact e-mail, web address, phones, address"}}},
      {"Enable",
       "hands Host and Token to the service client and points the logs at the device folder",
       "",
       {},
       {}},
      {"Disable", "switches the debug log off", "", {}, {}},
      {"GetSettings",
       "the settings table",
       "",
       {},
       {{"0", "table", "",
         "rows 0 ID, 1 value, 2 type, 3 default, 4 read-only, 5 name, 6 description; one column per "
         "setting"}}},
      {"SetSettings",
       "takes a settings table as GetSettings gives it; only rows 0 (ID) and 1 (value) are read",
       "",
       {{"0", "table", "required", "the settings table"}},
       {}},
      {"CheckHealth", "enables the device when it is not, and disables it again", "", {}, {}},
      {"GetCustomerData",
       "looks a customer up",
       "",
       {{"0", "string", "required", "customer identifier"},
        {"1", "integer", "required", "identifier kind (see below)"},
        {"2", "integer", "required", "passed on"}},
       {{"0", "string", "", "customer name"},
        {"1", "string", "", "telephone"},
        {"2", "string", "", "e-mail"},
        {"3", "currency", "", "bonus balance"},
        {"4", "string", "", "card number"},
        {"5", "string", "", "the service's client ID"},
        {"6", "integer|Empty", "", "integer attribute"},
        {"7", "date-time", "", "date attribute"}},
       true},
      {"RegisterCustomer",
       "registers a new customer; no OutData on success (this driver: 1003, not supported)",
       "",
       {{"0", "string", "required", "customer identifier"},
        {"1", "integer", "required", "identifier kind"},
        {"2", "string", "required", "customer's full name"},
        {"3", "string", "optional, \"\"", "passed on"},
        {"4", "string", "optional, \"\"", "passed on"},
        {"5", "integer", "optional, -1", "passed on"},
        {"6", "date-time", "required", "date attribute: Empty for none, Null for now"},
        {"7", "integer", "optional, 0", "passed on"},
        {"8", "string", "optional, \"\"", "passed on"}},
       {},
       true},
      {"CreateOrder",
       "opens an order for a customer",
       "",
       {{"0", "variant", "required", "passed on"},
        {"1", "string", "required", "customer identifier"},
        {"2", "integer", "required", "identifier kind"},
        {"3", "variant", "optional, Empty", "passed on"},
        {"4", "currency", "optional, 0", "passed on"},
        {"5", "string", "optional, \"\"", "passed on"},
        {"6", "string", "optional, \"\"", "passed on"}},
       {{"0", "string", "", "order ID, for CloseOrder and CancelOrder (InData 0)"},
        {"1", "currency", "", "bonus balance"},
        {"2", "variant", "", "variant value"},
        {"3", "currency", "", "currency value"},
        {"4", "string", "", "text"},
        {"5", "currency", "", "currency value"}},
       true},
      {"CloseOrder",
       "registers the sale or the return of an order",
       "",
       {{"0", "string", "required", "order ID from CreateOrder"},
        {"1", "receipt", "required", "receipt table (see below); Empty: no lines"},
        {"2", "currency", "required", "bonus amount to write off"},
        {"3", "currency", "required", "passed on"},
        {"4", "string", "required", "customer identifier"},
        {"5", "integer", "required", "identifier kind"},
        {"6", "integer", "required", "operation kind: 1 return, anything else sale (low 8 bits)"},
        {"7", "string", "required", "order ID of the sale being returned"},
        {"8", "date-time", "optional, now", "transaction date-time of the sale being returned"},
        {"9", "string", "optional, \"\"", "passed on"},
        {"10", "string", "optional, \"\"", "receipt number"},
        {"11-14", "string", "optional, \"\"", "passed on"}},
       {{"0", "currency", "", "bonus balance after the operation"},
        {"1", "string", "", "text for the receipt, lines separated by CR LF"},
        {"2", "date-time", "", "transaction date-time (give it to CancelOrder)"},
        {"3", "string", "", "text"}},
       true},
      {"CancelOrder",
       "cancels a completed sale",
       "",
       {{"0", "string", "required", "order ID"},
        {"1", "date-time", "required", "transaction date-time of the sale (CloseOrder OutData 2)"},
        {"2", "string", "required", "passed on"},
        {"3", "integer", "required", "passed on"},
        {"4", "string", "required", "passed on"},
        {"5", "string", "optional, \"\"", "passed on"},
        {"6", "currency", "optional, 0", "passed on"},
        {"7", "currency", "optional, 0", "passed on"}},
       {{"0", "string", "", "text for the receipt, lines separated by CR LF"}},
       true},
      {"GetAvailableProduct",
       "not supported by this driver (1003); InData may have any form",
       "",
       {{"0", "variant", "optional, Empty", "passed on"}, {"1", "string", "optional, \"\"", "passed on"}},
       {{"0", "variant", "", "the product"}},
       true},
      {"VerifyClient",
       "not supported by this driver (1003)",
       "",
       {{"0", "string", "required", "passed on"},
        {"1", "integer", "required", "passed on"},
        {"2", "string", "required", "passed on"},
        {"3", "currency", "optional, 0", "passed on"},
        {"4", "currency", "optional, 0", "passed on"}},
       {{"0", "string", "", "InData 2 as read"}},
       true},
      {"VerifyPromocode",
       "not supported by this driver (1003); no OutData on success",
       "",
       {{"0", "variant", "required", "passed on"},
        {"1", "string", "required", "passed on"},
        {"2", "integer", "required", "passed on"},
        {"3", "variant", "optional, Empty", "passed on"},
        {"4", "currency", "optional, 0", "passed on"},
        {"5", "string", "optional, \"\"", "passed on"},
        {"6", "string", "optional, \"\"", "passed on"}},
       {},
       true},
  };
  return table;
}

void PrintHelp(std::ostream& out, const std::vector<SettingInfo>& settings, const HelpFolders& folders) {
  out << kUsageStart;
  PrintOptions(out);
  out << kUsageEnd << "\n";
  PrintSettings(out, settings);
  PrintMethods(out);
  out << kTimeOut << "\n" << kExitStatuses << "\n";
  PrintLogs(out, folders);
}

}  // namespace tallowmer::host
