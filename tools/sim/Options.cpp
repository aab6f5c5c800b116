#include "tools/sim/Options.h"

#include <algorithm>
#include <cctype>

namespace tallowmer::sim {
namespace {

// The value of unsigned decimal text of at most `maxDigits` digits; -1 for anything else.
long long DecimalValue(const std::string& text, size_t maxDigits) {
  const bool digits = !text.empty() && text.size() <= maxDigits &&
                      std::all_of(text.begin(), text.end(),
                                  [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
  return digits ? std::stoll(text) : -1;
}

int ParsePort(const std::string& text, const std::string& listen) {
  const long long port = DecimalValue(text, 5);
  if (port < 0 || port > 65535) throw UsageError("--listen " + listen + ": the port must be 0..65535");
  return static_cast<int>(port);
}

// "HOST:PORT" or "[IPv6]:PORT".
void ParseListen(const std::string& listen, Options& options) {
  const auto colon = listen.rfind(':');
  if (colon == std::string::npos) throw UsageError("--listen " + listen + ": expected HOST:PORT");
  std::string host = listen.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  if (host.empty()) throw UsageError("--listen " + listen + ": the host is missing");
  options.port = ParsePort(listen.substr(colon + 1), listen);
  options.host = host;
}

long long ParseClockOffset(const std::string& text) {
  const bool negative = !text.empty() && text[0] == '-';
  const bool hasSign = negative || (!text.empty() && text[0] == '+');
  const long long magnitude = DecimalValue(hasSign ? text.substr(1) : text, 9);
  if (magnitude < 0 || magnitude > kMaxClockOffsetSeconds) {
    throw UsageError("--clock-offset " + text + ": seconds from -" + std::to_string(kMaxClockOffsetSeconds) +
                     " to " + std::to_string(kMaxClockOffsetSeconds));
  }
  return negative ? -magnitude : magnitude;
}

}  // namespace

Options ParseOptions(const std::vector<std::string>& args) {
  Options options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::optional<std::string> inlineValue;
    if (const auto equals = name.find('='); name.rfind("--", 0) == 0 && equals != std::string::npos) {
      inlineValue = name.substr(equals + 1);
      name.resize(equals);
    }
    auto value = [&]() -> std::string {
      if (inlineValue) return *inlineValue;
      if (i + 1 >= args.size()) throw UsageError(name + " needs a value");
      return args[++i];
    };
    auto flag = [&](bool& target) {
      if (inlineValue) throw UsageError(name + " takes no value");
      target = true;
    };

    if (name == "--listen") {
      ParseListen(value(), options);
    } else if (name == "--plain") {
      flag(options.plain);
    } else if (name == "--db") {
      options.db = value();
      if (options.db->empty()) throw UsageError("--db needs a file name");
    } else if (name == "--token") {
      options.token = value();
      if (options.token.empty()) throw UsageError("--token must not be empty");
    } else if (name == "--seed") {
      flag(options.seed);
    } else if (name == "--state-dir") {
      const std::string dir = value();
      if (dir.empty()) throw UsageError("--state-dir needs a folder");
      options.stateDir = dir;
    } else if (name == "--faults") {
      flag(options.faults);
    } else if (name == "--clock-offset") {
      options.clockOffsetSeconds = ParseClockOffset(value());
    } else if (name == "--help" || name == "-h") {
      flag(options.help);
    } else {
      throw UsageError("unknown argument " + args[i]);
    }
  }
  return options;
}

std::string UsageText() {
  return "usage: tallowmer_sim [--listen HOST:PORT] [--plain] [--db FILE] [--token TOKEN] [--seed]\n"
         "                     [--state-dir DIR] [--faults] [--clock-offset SECONDS]\n"
         "  --listen HOST:PORT  where to listen (default 127.0.0.1:0, port 0 picks a free one)\n"
         "  --plain             plain HTTP instead of HTTPS\n"
         "  --db FILE           SQLite file, :memory: for none (default: sim.sqlite in the state folder)\n"
         "  --token TOKEN       merchant token requests must carry (default demo-token-0001)\n"
         "  --seed              add the demonstration customers when missing\n"
         "  --state-dir DIR     certificates and default database (default $XDG_STATE_HOME/tallowmer_sim\n"
         "                      or ~/.local/state/tallowmer_sim)\n"
         "  --faults            enable the /_sim control endpoints for fault injection\n"
         "  --clock-offset SECONDS\n"
         "                      run the clock of the Date header this far ahead (negative: behind), as\n"
         "                      a till with a wrong clock sees the service\n"
         "The first line on stdout is the base URL; with HTTPS, stderr names the CA file to trust and\n"
         "prints the line that makes ls_tallowmer_host trust it (export LS_TALLOWMER_CA_FILE=...).\n";
}

std::filesystem::path DefaultStateDir(const char* xdgStateHome, const char* home) {
  if (xdgStateHome && std::filesystem::path(xdgStateHome).is_absolute()) {
    return std::filesystem::path(xdgStateHome) / "tallowmer_sim";
  }
  if (!home || !*home) throw UsageError("neither XDG_STATE_HOME nor HOME is set; pass --state-dir");
  return std::filesystem::path(home) / ".local" / "state" / "tallowmer_sim";
}

}  // namespace tallowmer::sim
