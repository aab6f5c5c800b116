// The built tallowmer_sim program as integrators and the Wine tests run it: options, the lines it
// prints, signals, and what it keeps between runs.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <regex>
#include <thread>

#include "tests/sim/SimTestSupport.h"

extern char** environ;

namespace tallowmer::sim {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::steady_clock;
using testing::Api;
using testing::BodyJson;
using testing::TempDir;

constexpr milliseconds kPatience{20000};

// A pipe's end, closed with the object.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void Reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

struct FileActions {
  FileActions() { posix_spawn_file_actions_init(&actions); }
  ~FileActions() { posix_spawn_file_actions_destroy(&actions); }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
  posix_spawn_file_actions_t actions{};
};

// The simulator as a child process with its stdout and stderr on pipes; killed if still running
// when the test ends.
class SimProcess {
 public:
  SimProcess(const std::vector<std::string>& args, const std::vector<std::string>& environment = {}) {
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
    Fd outWrite(out[1]);
    Fd errWrite(err[1]);
    out_ = std::make_unique<Fd>(out[0]);
    err_ = std::make_unique<Fd>(err[0]);

    FileActions files;
    posix_spawn_file_actions_adddup2(&files.actions, outWrite.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&files.actions, errWrite.get(), STDERR_FILENO);

    std::vector<std::string> argStrings{TALLOWMER_SIM_EXECUTABLE};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<std::string> envStrings;
    for (char** entry = environ; *entry; ++entry) {
      const std::string variable = *entry;
      const bool overridden =
          std::any_of(environment.begin(), environment.end(), [&](const std::string& mine) {
            return variable.rfind(mine.substr(0, mine.find('=') + 1), 0) == 0;
          });
      if (!overridden) envStrings.push_back(variable);
    }
    envStrings.insert(envStrings.end(), environment.begin(), environment.end());

    std::vector<char*> argv;
    for (std::string& arg : argStrings) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& variable : envStrings) envp.push_back(variable.data());
    envp.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &files.actions, nullptr, argv.data(), envp.data()) != 0) {
      throw std::runtime_error("cannot start the simulator");
    }
  }

  ~SimProcess() {
    if (pid_ > 0 && !exitCode_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  std::optional<std::string> StdoutLine() { return ReadLine(*out_, outBuffer_); }
  std::optional<std::string> StderrLine() { return ReadLine(*err_, errBuffer_); }

  void Signal(int signal) { kill(pid_, signal); }

  // The exit code (128 + signal when killed), or empty when it does not end in time.
  std::optional<int> Wait() {
    const auto deadline = steady_clock::now() + kPatience;
    while (!exitCode_ && steady_clock::now() < deadline) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      } else {
        std::this_thread::sleep_for(milliseconds(10));
      }
    }
    return exitCode_;
  }

  // Everything else it wrote; ends the process first when it still runs, so the read has an end.
  std::string RestOfStderr() { return Rest(*err_, errBuffer_); }
  std::string RestOfStdout() { return Rest(*out_, outBuffer_); }

 private:
  static std::optional<std::string> ReadLine(const Fd& fd, std::string& buffer) {
    const auto deadline = steady_clock::now() + kPatience;
    while (buffer.find('\n') == std::string::npos) {
      const auto left = std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now()).count();
      pollfd ready{fd.get(), POLLIN, 0};
      if (left <= 0 || poll(&ready, 1, static_cast<int>(left)) <= 0) return std::nullopt;
      char chunk[4096];
      const ssize_t n = read(fd.get(), chunk, sizeof chunk);
      if (n <= 0) return std::nullopt;
      buffer.append(chunk, static_cast<std::size_t>(n));
    }
    const auto end = buffer.find('\n');
    std::string line = buffer.substr(0, end);
    buffer.erase(0, end + 1);
    return line;
  }

  std::string Rest(const Fd& fd, const std::string& buffered) {
    if (!Wait()) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      exitCode_ = 128 + SIGKILL;
    }
    std::string rest = buffered;
    char chunk[4096];
    ssize_t n = 0;
    while ((n = read(fd.get(), chunk, sizeof chunk)) > 0) rest.append(chunk, static_cast<std::size_t>(n));
    return rest;
  }

  pid_t pid_ = -1;
  std::optional<int> exitCode_;
  std::unique_ptr<Fd> out_;
  std::unique_ptr<Fd> err_;
  std::string outBuffer_;
  std::string errBuffer_;
};

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// "https://127.0.0.1:PORT/api/v2" split into the origin a client connects to.
std::string OriginOf(const std::string& baseUrl) {
  return baseUrl.substr(0, baseUrl.size() - std::string("/api/v2").size());
}

httplib::Client ClientFor(const std::string& baseUrl, const fs::path& caFile = {}) {
  httplib::Client client(OriginOf(baseUrl));
  if (!caFile.empty()) {
    client.set_ca_cert_path(caFile.string());
    client.enable_server_certificate_verification(true);
  }
  client.set_read_timeout(10);
  return client;
}

TEST(ExecutableTest, HttpsRunPrintsTheUrlAndTheCaAndStopsCleanlyOnSigterm) {
  TempDir dir;
  const fs::path state = dir.Path() / "state";
  SimProcess sim({"--listen", "127.0.0.1:0", "--db", ":memory:", "--seed", "--state-dir", state.string()});

  const auto url = sim.StdoutLine();
  ASSERT_TRUE(url);
  EXPECT_TRUE(std::regex_match(*url, std::regex(R"(https://127\.0\.0\.1:[1-9][0-9]*/api/v2)"))) << *url;
  const auto caLine = sim.StderrLine();
  ASSERT_TRUE(caLine);
  EXPECT_EQ(*caLine, "CA: " + (state / "ca.pem").string());
  // Ready to paste for ls_tallowmer_host.
  EXPECT_EQ(sim.StderrLine(), "export LS_TALLOWMER_CA_FILE=" + (state / "ca.pem").string());

  auto client = ClientFor(*url, state / "ca.pem");
  const auto found = client.Get(Api("clientInfo", "type=cardNumber&id=777"));
  ASSERT_TRUE(found) << httplib::to_string(found.error());
  EXPECT_EQ(BodyJson(found).value("lastName", ""), "Иванов");
  client.stop();

  sim.Signal(SIGTERM);
  EXPECT_EQ(sim.Wait(), 0) << sim.RestOfStderr();
  // The one line on stdout is the URL: nothing else to confuse a script reading it.
  EXPECT_EQ(sim.RestOfStdout(), "");
}

TEST(ExecutableTest, PlainRunOnMemoryLeavesNoStateAndStopsOnSigint) {
  TempDir dir;
  SimProcess sim(
      {"--plain", "--db", ":memory:", "--token", "custom-token-7", "--listen", "127.0.0.1:0"},
      {"HOME=" + (dir.Path() / "home").string(), "XDG_STATE_HOME=" + (dir.Path() / "xdg").string()});
  const auto url = sim.StdoutLine();
  ASSERT_TRUE(url);
  ASSERT_EQ(url->rfind("http://127.0.0.1:", 0), 0u) << *url;

  auto client = ClientFor(*url);
  const auto accepted = client.Get("/api/v2/ping?token=custom-token-7");
  ASSERT_TRUE(accepted);
  EXPECT_EQ(accepted->status, 200);
  const auto refused = client.Get(Api("ping"));
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 401);
  // Not seeded.
  const auto nobody = client.Get("/api/v2/clientInfo?token=custom-token-7&type=cardNumber&id=777");
  ASSERT_TRUE(nobody);
  EXPECT_EQ(nobody->status, 404);
  client.stop();

  sim.Signal(SIGINT);
  EXPECT_EQ(sim.Wait(), 0);
  EXPECT_EQ(sim.RestOfStderr().find("CA: "), std::string::npos);
  EXPECT_FALSE(fs::exists(dir.Path() / "xdg"));
  EXPECT_FALSE(fs::exists(dir.Path() / "home"));
}

TEST(ExecutableTest, ARestartKeepsTheBooksAndTheCertificate) {
  TempDir dir;
  const std::vector<std::string> environment = {"XDG_STATE_HOME=" + (dir.Path() / "xdg").string()};
  const fs::path state = dir.Path() / "xdg" / "tallowmer_sim";
  const std::string order =
      R"({"guid":"restart-1","number":"1","date":"2024-05-01 10:00:00","sum":100,"sumDiscount":90,"bonusWriteOff":10})";
  std::string firstCa;
  {
    SimProcess sim({"--seed"}, environment);
    const auto url = sim.StdoutLine();
    ASSERT_TRUE(url);
    ASSERT_EQ(sim.StderrLine(), "CA: " + (state / "ca.pem").string());
    firstCa = ReadFile(state / "ca.pem");
    auto client = ClientFor(*url, state / "ca.pem");
    const auto created = client.Post(Api("createOrder", "type=cardNumber&id=777"), order, "application/json");
    ASSERT_TRUE(created);
    EXPECT_EQ(created->status, 200);
    client.stop();
    sim.Signal(SIGTERM);
    ASSERT_EQ(sim.Wait(), 0);
  }
  EXPECT_TRUE(fs::exists(state / "sim.sqlite"));
  {
    SimProcess sim({}, environment);
    const auto url = sim.StdoutLine();
    ASSERT_TRUE(url);
    EXPECT_EQ(ReadFile(state / "ca.pem"), firstCa);
    auto client = ClientFor(*url, state / "ca.pem");
    EXPECT_EQ(BodyJson(client.Get(Api("clientInfo", "type=cardNumber&id=777"))).value("bonusBalance", 0),
              494);
    const auto repeated =
        client.Post(Api("createOrder", "type=cardNumber&id=777"), order, "application/json");
    ASSERT_TRUE(repeated);
    EXPECT_EQ(repeated->status, 409);
    client.stop();
    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.Wait(), 0);
  }
}

TEST(ExecutableTest, BadArgumentsExitWithUsage) {
  SimProcess bogus({"--bogus"});
  EXPECT_EQ(bogus.Wait(), 2);
  const std::string complaint = bogus.RestOfStderr();
  EXPECT_NE(complaint.find("unknown argument --bogus"), std::string::npos) << complaint;
  EXPECT_NE(complaint.find("usage:"), std::string::npos) << complaint;
  EXPECT_EQ(bogus.RestOfStdout(), "");

  SimProcess help({"--help"});
  EXPECT_EQ(help.Wait(), 0);
  EXPECT_NE(help.RestOfStdout().find("usage: tallowmer_sim"), std::string::npos);
}

TEST(ExecutableTest, ATakenPortEndsWithAnError) {
  testing::RunningSim holder(testing::SimConfig{testing::Transport::Plain});
  SimProcess sim({"--plain", "--db", ":memory:", "--listen", "127.0.0.1:" + std::to_string(holder.Port())});
  EXPECT_EQ(sim.Wait(), 1);
  EXPECT_NE(sim.RestOfStderr().find("cannot listen on 127.0.0.1:" + std::to_string(holder.Port()) +
                                    ": Address already in use"),
            std::string::npos);
  EXPECT_EQ(sim.RestOfStdout(), "");
}

}  // namespace
}  // namespace tallowmer::sim
