// tallowmer_sim: a local stand-in for the Tallowmer loyalty service, for integrators and for our
// integration tests. See README.md beside this file.

#include <pthread.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <optional>

#include "tools/sim/Certificates.h"
#include "tools/sim/Options.h"
#include "tools/sim/Server.h"
#include "tools/sim/Store.h"

namespace {

namespace fs = std::filesystem;
using namespace tallowmer::sim;

bool IsWildcard(const std::string& host) {
  return host == "0.0.0.0" || host == "::";
}

// A word the shell reads back as `text`: as it stands when it needs no quoting.
std::string ShellQuoted(const std::string& text) {
  const bool plain = !text.empty() && text.find_first_not_of(
                                          "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                          "0123456789/._-+:,@%") == std::string::npos;
  if (plain) return text;
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

fs::path StateDir(const Options& options) {
  fs::path dir = options.stateDir ? *options.stateDir
                                  : DefaultStateDir(std::getenv("XDG_STATE_HOME"), std::getenv("HOME"));
  if (!fs::exists(dir)) {
    fs::create_directories(dir);
    // It will hold a private key.
    fs::permissions(dir, fs::perms::owner_all);
  }
  return dir;
}

int Run(const Options& options) {
  // Blocked before any thread starts, so every thread inherits the mask and the signals wait for
  // sigwait below instead of interrupting a request.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  // The state folder is only made when something goes in it: a plain server on :memory: leaves no trace.
  std::optional<fs::path> stateDir;
  if (!options.plain || !options.db) stateDir = StateDir(options);

  Store store(options.db ? *options.db : (*stateDir / "sim.sqlite").string());
  if (options.seed) store.Seed();

  std::optional<TlsIdentity> tls;
  if (!options.plain) {
    std::vector<std::string> extraHosts;
    if (!IsWildcard(options.host)) extraHosts.push_back(options.host);
    tls = LoadOrCreateTlsIdentity(*stateDir, extraHosts);
    const std::string caFile = fs::absolute(tls->caFile).string();
    std::cerr << "CA: " << caFile << "\n"
              << "export LS_TALLOWMER_CA_FILE=" << ShellQuoted(caFile) << std::endl;
  }

  ServerSettings settings;
  settings.host = options.host;
  settings.port = options.port;
  settings.token = options.token;
  settings.faults = options.faults;
  settings.clockOffsetSeconds = options.clockOffsetSeconds;
  settings.log = [](const std::string& line) {
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    std::cerr << line << '\n';
  };
  SimServer server(store, settings, tls ? &*tls : nullptr);
  server.Start();
  // Whoever started us waits for this line; it must not sit in a buffer.
  std::cout << server.BaseUrl() << std::endl;

  int received = 0;
  sigwait(&stopSignals, &received);
  std::cerr << "stopping on signal " << received << std::endl;
  server.Stop();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const Options options = ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (options.help) {
      std::cout << UsageText();
      return 0;
    }
    return Run(options);
  } catch (const UsageError& error) {
    std::cerr << "tallowmer_sim: " << error.what() << '\n' << UsageText();
    return 2;
  } catch (const std::exception& error) {
    std::cerr << "tallowmer_sim: " << error.what() << '\n';
    return 1;
  }
}
