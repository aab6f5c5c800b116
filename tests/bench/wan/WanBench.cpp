// wan_bench: a whole sale through each client over a wide-area network made on loopback, call by
// call, in round trips. Prints figures and asserts nothing. tests/bench/run_wan_bench.sh sets up
// what it needs (a network namespace with the service's name, a Wine prefix) and runs it; see the
// README's benchmark section.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/bench/wan/Child.h"
#include "tests/bench/wan/DelayLine.h"
#include "tests/bench/wan/Sale.h"
#include "tests/bench/wan/WanRelay.h"

namespace tallowmer::bench {
namespace {

struct ClientSpec {
  enum class Kind { Linux, Windows, Curl, Probe } kind;
  std::string label;
  // The host program's command line, or curl's extra arguments.
  std::string command;
};

struct Options {
  int roundTripMs = 40;
  std::string simulator;
  std::string work;
  std::string serviceName = "localhost";
  int relayPort = 0;
  int dnsPort = 0;
  std::string token = "wan-bench-token";
  std::vector<std::string> prepare;
  std::vector<ClientSpec> clients;
  bool trace = false;
  // Each client makes this many sales, each in a process of its own; the median one is reported.
  int sales = 3;
  // The service's network namespace across a packet-level delay line; empty for the relay's delay.
  std::string serviceNamespace;
};

constexpr const char* kUsage =
    "usage: wan_bench --sim PATH --work DIR [--rtt MS] [--name NAME] [--relay-port N] [--dns-port N]\n"
    "                 [--prepare COMMAND]... [--trace] [--sales N] [--service-netns PATH]\n"
    "                 [--curl LABEL=ARGUMENTS]... [--linux COMMAND] [--windows LABEL=COMMAND]...\n"
    "  --rtt MS             round-trip time the relay makes (default 40)\n"
    "  --sim PATH           the service simulator, started with a fresh authority in DIR\n"
    "  --work DIR           logs of every program, the simulator's state\n"
    "  --name NAME          the service's name (default localhost); the simulator's certificate names it\n"
    "  --relay-port N       where the relay listens on 127.0.0.1 (default: a free port; 443 leaves the\n"
    "                       port out of the URL)\n"
    "  --dns-port N         answer NAME on 127.0.0.1:N and count the look-ups (default: no responder)\n"
    "  --prepare COMMAND    run once the simulator is up; it and every client have BENCH_CA,\n"
    "                       BENCH_CA_WINDOWS, BENCH_URL, BENCH_TOKEN, BENCH_HOST and BENCH_PORT set\n"
    "  --curl LABEL=ARGS    bare curl, with these extra arguments, making the driver's requests\n"
    "  --linux COMMAND      the Linux host program reading script lines (ls_tallowmer_host --raw -)\n"
    "  --windows L=COMMAND  the same under Wine\n"
    "  --probe L=COMMAND    any other program, run to its end after the sales; its output and what\n"
    "                       the relay saw of it (connections, TLS, records, look-ups) are printed\n"
    "  --trace              every connection's chunks, as the relay received them\n"
    "  --sales N            sales per client, each in a process of its own; the one of median\n"
    "                       length is reported (default 3)\n"
    "  --service-netns PATH the service's network namespace (/proc/PID/ns/net): a delay line of IP\n"
    "                       packets joins it to this one and makes the round trips, the relay only\n"
    "                       counts (root, /dev/net/tun)\n";

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::invalid_argument(name + " needs a value");
      return argv[++i];
    };
    auto labelled = [&](ClientSpec::Kind kind) {
      const std::string text = value();
      const size_t equals = text.find('=');
      if (equals == std::string::npos) throw std::invalid_argument(name + " expects LABEL=VALUE");
      options.clients.push_back({kind, text.substr(0, equals), text.substr(equals + 1)});
    };
    if (name == "--rtt") {
      options.roundTripMs = std::stoi(value());
    } else if (name == "--sim") {
      options.simulator = value();
    } else if (name == "--work") {
      options.work = value();
    } else if (name == "--name") {
      options.serviceName = value();
    } else if (name == "--relay-port") {
      options.relayPort = std::stoi(value());
    } else if (name == "--dns-port") {
      options.dnsPort = std::stoi(value());
    } else if (name == "--prepare") {
      options.prepare.push_back(value());
    } else if (name == "--curl") {
      labelled(ClientSpec::Kind::Curl);
    } else if (name == "--linux") {
      options.clients.push_back({ClientSpec::Kind::Linux, "linux", value()});
    } else if (name == "--windows") {
      labelled(ClientSpec::Kind::Windows);
    } else if (name == "--probe") {
      labelled(ClientSpec::Kind::Probe);
    } else if (name == "--trace") {
      options.trace = true;
    } else if (name == "--sales") {
      options.sales = std::stoi(value());
    } else if (name == "--service-netns") {
      options.serviceNamespace = value();
    } else {
      throw std::invalid_argument("unknown option " + name);
    }
  }
  if (options.simulator.empty() || options.work.empty())
    throw std::invalid_argument("--sim and --work are needed");
  if (options.roundTripMs <= 0) throw std::invalid_argument("--rtt must be positive");
  if (options.sales <= 0) throw std::invalid_argument("--sales must be positive");
  return options;
}

double Milliseconds(Clock::duration duration) {
  return std::chrono::duration<double, std::milli>(duration).count();
}

std::string Fixed(double value, int decimals = 2) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

// The simulator on a free port under the service's name, with an authority of its own.
class Simulator {
 public:
  Simulator(const Options& options)
      : process_("exec " + options.simulator + " --listen " + options.serviceName +
                     ":0 --db :memory: --seed --token " + options.token + " --state-dir " + options.work +
                     "/sim",
                 options.work + "/sim.err") {
    const std::optional<std::string> url = process_.ReadLine(std::chrono::seconds(30));
    if (!url) throw std::runtime_error("the simulator did not start: see " + options.work + "/sim.err");
    const size_t colon = url->rfind(':');
    port_ = std::atoi(url->c_str() + colon + 1);
    caFile_ = options.work + "/sim/ca.pem";
  }
  int Port() const { return port_; }
  const std::string& CaFile() const { return caFile_; }

 private:
  Child process_;
  int port_ = 0;
  std::string caFile_;
};

// What the relay saw of one call.
struct CallFigures {
  double ms = 0;
  int connections = 0;
  int handshakes = 0;
  int resumed = 0;
  std::string versions;
  int lookups = 0;
  // From the call's start to its first connection; negative when it made none.
  double pauseMs = -1;
};

void Count(CallFigures& figures, const RelayedConnection& connection) {
  ++figures.connections;
  if (connection.tls.handshake) ++figures.handshakes;
  if (connection.tls.resumed) ++figures.resumed;
  const std::string version = VersionText(connection.tls.version);
  if (figures.versions.find(version) == std::string::npos)
    figures.versions += (figures.versions.empty() ? "" : ",") + version;
}

bool IsLookup(const NameQuery& query, const std::string& serviceName) {
  return query.type == "A" && query.name == serviceName;
}

// Across the delay line the relay accepts a connection once the TCP handshake is through: one and a
// half round trips after the client's SYN left. The relay's own delay shows none.
double HandshakeMs(const Options& options) {
  return options.serviceNamespace.empty() ? 0 : 1.5 * options.roundTripMs;
}

// A host program's call owns what the relay saw between the call and its answer.
// `handshakeMs`: how long after the client asked for a connection the relay accepted it.
std::vector<CallFigures> FiguresInBounds(const SaleRun& run, const Journal& journal, const std::string& name,
                                         double handshakeMs) {
  std::vector<CallFigures> all;
  for (const CallTiming& call : run.calls) {
    CallFigures figures;
    figures.ms = Milliseconds(call.end - call.start);
    for (const RelayedConnection& connection : journal.connections) {
      if (connection.accepted < call.start || connection.accepted > call.end) continue;
      if (figures.connections == 0)
        figures.pauseMs = std::max(0.0, Milliseconds(connection.accepted - call.start) - handshakeMs);
      Count(figures, connection);
    }
    for (const NameQuery& query : journal.queries) {
      if (IsLookup(query, name) && query.asked >= call.start && query.asked <= call.end) ++figures.lookups;
    }
    all.push_back(figures);
  }
  return all;
}

// Bare curl's calls own the run's connections in order, one per request, and each look-up goes
// with the connection that followed it.
// `handshakeMs`: the part of curl's time_connect that the TCP handshake took.
std::vector<CallFigures> FiguresInOrder(const SaleRun& run, const Journal& journal, const std::string& name,
                                        double handshakeMs) {
  std::vector<const RelayedConnection*> connections;
  for (const RelayedConnection& connection : journal.connections) {
    if (connection.accepted >= run.began && connection.accepted <= run.ended)
      connections.push_back(&connection);
  }
  std::vector<CallFigures> all;
  size_t next = 0;
  Clock::time_point after = run.began;
  for (const CallTiming& call : run.calls) {
    CallFigures figures;
    figures.ms = call.curlMs;
    figures.pauseMs = std::max(0.0, call.curlPauseMs - handshakeMs);
    for (int request = 0; request < call.requests && next < connections.size(); ++request)
      Count(figures, *connections[next++]);
    const Clock::time_point before = next < connections.size() ? connections[next]->accepted : run.ended;
    for (const NameQuery& query : journal.queries) {
      if (IsLookup(query, name) && query.asked >= after && query.asked < before) ++figures.lookups;
    }
    after = before;
    all.push_back(figures);
  }
  return all;
}

// The milliseconds of all the sale's calls.
double SaleLength(const SaleRun& run) {
  double total = 0;
  for (const CallTiming& call : run.calls)
    total += run.connectionsInOrder ? call.curlMs : Milliseconds(call.end - call.start);
  return total;
}

// The fewest round trips a request can take: TCP's handshake, TLS's (one under TLS 1.3 and for a
// resumed TLS 1.2 session, two for a full TLS 1.2 handshake), and the exchange itself.
int FloorOf(bool firstRequest, const std::string& versions) {
  return firstRequest && versions != "1.3" ? 4 : 3;
}

struct Summary {
  ClientSpec::Kind kind = ClientSpec::Kind::Linux;
  std::string label;
  std::string versions;
  double firstRtt = 0;
  double laterRtt = 0;
  double saleRtt = 0;
  int saleFloor = 0;
  int requests = 0;
  int lookups = 0;
  int resumed = 0;
  int handshakes = 0;
  double pauseMs = 0;
  bool ok = false;
};

Summary Report(ClientSpec::Kind kind, const SaleRun& run, const Journal& journal, const Options& options) {
  const double rtt = options.roundTripMs;
  Summary summary;
  summary.kind = kind;
  summary.label = run.label;
  std::cout << "\n== " << run.label << "\n";
  if (!run.failure.empty()) {
    std::cout << "FAILED: " << run.failure << "\n";
    return summary;
  }
  std::printf("%-18s %4s %9s %7s %6s %6s %5s %8s %4s %9s\n", "call", "req", "ms", "RTT", "floor", "conns",
              "TLS", "resumed", "DNS", "pause ms");
  const std::vector<CallFigures> all =
      run.connectionsInOrder ? FiguresInOrder(run, journal, options.serviceName,
                                              options.serviceNamespace.empty() ? 0 : options.roundTripMs)
                             : FiguresInBounds(run, journal, options.serviceName, HandshakeMs(options));
  double laterMs = 0;
  for (size_t index = 0; index < run.calls.size(); ++index) {
    const CallFigures& figures = all[index];
    const CallTiming& call = run.calls[index];
    const int floor = FloorOf(index == 0, figures.versions) + 3 * (call.requests - 1);
    std::printf("%-18s %4d %9.1f %7.2f %6d %6d %5s %4d/%-3d %4s %9.1f\n", call.name.c_str(), call.requests,
                figures.ms, figures.ms / rtt, floor, figures.connections, figures.versions.c_str(),
                figures.resumed, figures.handshakes,
                options.dnsPort != 0 ? std::to_string(figures.lookups).c_str() : "-", figures.pauseMs);
    if (figures.connections != call.requests)
      std::cout << "  (" << figures.connections << " connections for " << call.requests << " requests)\n";
    if (index == 0) {
      summary.firstRtt = figures.ms / rtt;
      summary.pauseMs = figures.pauseMs;
      summary.versions = figures.versions;
    } else {
      laterMs += figures.ms;
    }
    summary.requests += call.requests;
    summary.saleRtt += figures.ms / rtt;
    summary.saleFloor += floor;
    summary.lookups += figures.lookups;
    summary.resumed += figures.resumed;
    summary.handshakes += figures.handshakes;
  }
  summary.laterRtt = laterMs / rtt / (summary.requests - 1);
  std::printf("%-18s %4d %9.1f %7.2f %6d\n", "whole sale", summary.requests, summary.saleRtt * rtt,
              summary.saleRtt, summary.saleFloor);
  summary.ok = true;
  return summary;
}

// The calls and each connection's chunks as the relay received them, in milliseconds since the
// client started: ">" from the client, "<" from the service.
void Trace(const SaleRun& run, const Journal& journal, Clock::time_point from) {
  for (const CallTiming& call : run.calls) {
    std::cout << "  " << call.name << ": " << Fixed(Milliseconds(call.start - from), 1) << " to "
              << Fixed(Milliseconds(call.end - from), 1) << "\n";
  }
  for (const RelayedConnection& connection : journal.connections) {
    if (connection.accepted < from || connection.accepted > run.ended) continue;
    std::cout << "  connection " << connection.id << " at "
              << Fixed(Milliseconds(connection.accepted - from), 1) << " (TLS "
              << VersionText(connection.tls.version)
              << (connection.tls.resumed             ? ", resumed"
                  : connection.tls.offeredResumption ? ", resumption refused"
                                                     : "")
              << "):";
    for (const RelayedChunk& chunk : connection.chunks) {
      std::cout << " " << (chunk.fromClient ? ">" : "<") << chunk.size << "@"
                << Fixed(Milliseconds(chunk.arrived - from), 1);
    }
    std::cout << "\n";
  }
  for (const NameQuery& query : journal.queries) {
    if (query.asked >= from && query.asked <= run.ended)
      std::cout << "  query " << query.type << " " << query.name << " at "
                << Fixed(Milliseconds(query.asked - from), 1) << "\n";
  }
}

// A program of its own making requests: its own lines, then each of its connections as the relay
// saw it. A request's records are those the client sent after the handshake: headers and body in
// one, or apart.
void RunProbe(const ClientSpec& probe, const WanRelay& relay, const Options& options) {
  std::cout << "\n== probe " << probe.label << ": " << probe.command << "\n";
  const Clock::time_point began = Clock::now();
  {
    Child program(probe.command, options.work + "/probe " + probe.label + ".err");
    while (const std::optional<std::string> line = program.ReadLine(std::chrono::minutes(2)))
      std::cout << "  " << *line << "\n";
    if (const int status = program.Finish(std::chrono::seconds(30)); status != 0)
      std::cout << "  (exit status " << status << ")\n";
  }
  const Journal journal = relay.Snapshot();
  int lookups = 0;
  for (const NameQuery& query : journal.queries) {
    if (query.asked >= began && IsLookup(query, options.serviceName)) ++lookups;
  }
  int connections = 0;
  int offered = 0;
  int resumed = 0;
  for (const RelayedConnection& connection : journal.connections) {
    if (connection.accepted < began) continue;
    ++connections;
    offered += connection.tls.offeredResumption;
    resumed += connection.tls.resumed;
    std::cout << "  connection " << connection.id << ": TLS " << VersionText(connection.tls.version)
              << " (offered up to " << VersionText(connection.tls.offeredVersion) << ")"
              << (connection.tls.offeredResumption ? ", resumption offered" : ", no resumption offered")
              << (connection.tls.resumed ? " and taken" : "");
    // Up to TLS 1.2 the handshake and the alerts have record types of their own, so the client's
    // application-data records are its request alone.
    if (connection.tls.version != 0 && connection.tls.version < 0x0304)
      std::cout << "; the request in " << connection.tls.clientRecords << " record(s)";
    std::cout << "\n";
  }
  std::cout << "  " << connections << " connections, " << resumed << " resumed (" << offered << " offered), "
            << (options.dnsPort != 0 ? std::to_string(lookups) : std::string("uncounted")) << " look-ups\n";
}

const Summary* BesideCurl(const Summary& host, const std::vector<Summary>& curls) {
  for (const Summary& curl : curls) {
    if (curl.ok && curl.versions == host.versions) return &curl;
  }
  return nullptr;
}

std::string WithCurl(double value, const Summary* curl, double Summary::*field) {
  return Fixed(value) + (curl != nullptr ? " (" + Fixed(curl->*field) + ")" : "");
}

void ClosingTable(const std::vector<Summary>& summaries, const Options& options) {
  std::vector<Summary> curls;
  for (const Summary& summary : summaries) {
    if (summary.label.rfind("curl", 0) == 0) curls.push_back(summary);
  }
  std::cout << "\nRound trips at " << options.roundTripMs
            << " ms; in brackets bare curl's with the same TLS version.\n";
  std::printf("%-16s %4s %14s %16s %16s %6s %8s %4s %9s\n", "client", "TLS", "first RTT", "later RTT/req",
              "sale RTT", "floor", "resumed", "DNS", "pause ms");
  for (const Summary& summary : summaries) {
    if (!summary.ok) {
      std::printf("%-16s FAILED\n", summary.label.c_str());
      continue;
    }
    const Summary* curl = summary.label.rfind("curl", 0) == 0 ? nullptr : BesideCurl(summary, curls);
    std::printf("%-16s %4s %14s %16s %16s %6d %4d/%-3d %4s %9.1f\n", summary.label.c_str(),
                summary.versions.c_str(), WithCurl(summary.firstRtt, curl, &Summary::firstRtt).c_str(),
                WithCurl(summary.laterRtt, curl, &Summary::laterRtt).c_str(),
                WithCurl(summary.saleRtt, curl, &Summary::saleRtt).c_str(), summary.saleFloor,
                summary.resumed, summary.handshakes,
                options.dnsPort != 0 ? std::to_string(summary.lookups).c_str() : "-", summary.pauseMs);
  }
}

// Linux over every request (each is at its floor of three under TLS 1.3); Windows after its first.
void LastLine(const std::vector<Summary>& summaries) {
  const Summary* linux = nullptr;
  const Summary* windows = nullptr;
  for (const Summary& summary : summaries) {
    if (!summary.ok) continue;
    if (summary.kind == ClientSpec::Kind::Linux && linux == nullptr) linux = &summary;
    if (summary.kind == ClientSpec::Kind::Windows && windows == nullptr) windows = &summary;
  }
  auto figure = [](const Summary* summary, double value) {
    return summary != nullptr ? Fixed(value, 1) : "-";
  };
  std::cout << "wan: linux " << figure(linux, linux != nullptr ? linux->saleRtt / linux->requests : 0)
            << " RTT per request, windows " << figure(windows, windows != nullptr ? windows->laterRtt : 0)
            << " RTT per request after the first, windows first "
            << figure(windows, windows != nullptr ? windows->firstRtt : 0) << std::endl;
}

int Run(const Options& options) {
  const bool packets = !options.serviceNamespace.empty();
  // Under the delay line the relay only counts; the service lives in the namespace across the line.
  std::optional<DelayLine> line;
  if (packets) line.emplace(std::chrono::milliseconds(options.roundTripMs), options.serviceNamespace);
  WanSettings settings;
  settings.roundTrip =
      packets ? std::chrono::microseconds(0) : std::chrono::milliseconds(options.roundTripMs);
  settings.listenAddress = settings.serviceAddress = packets ? kServiceAddress : "127.0.0.1";
  settings.listenPort = options.relayPort;
  settings.dnsPort = options.dnsPort;
  settings.serviceName = options.serviceName;
  settings.serviceNamespace = options.serviceNamespace;
  WanRelay relay(settings);
  std::unique_ptr<Simulator> simulatorOwner;
  {
    std::optional<NamespaceVisit> visit;
    if (packets) visit.emplace(options.serviceNamespace);
    simulatorOwner = std::make_unique<Simulator>(options);
  }
  const Simulator& simulator = *simulatorOwner;
  relay.SetServicePort(simulator.Port());

  Service service;
  service.url = "https://" + options.serviceName +
                (relay.ListenPort() == 443 ? "" : ":" + std::to_string(relay.ListenPort())) + "/api/v2";
  service.token = options.token;
  service.caFile = simulator.CaFile();
  std::string windowsCa = "Z:" + service.caFile;
  std::replace(windowsCa.begin(), windowsCa.end(), '/', '\\');
  ::setenv("BENCH_CA", service.caFile.c_str(), 1);
  ::setenv("BENCH_CA_WINDOWS", windowsCa.c_str(), 1);
  ::setenv("LS_TALLOWMER_CA_FILE", service.caFile.c_str(), 1);
  ::setenv("BENCH_URL", service.url.c_str(), 1);
  ::setenv("BENCH_TOKEN", service.token.c_str(), 1);
  ::setenv("BENCH_HOST", options.serviceName.c_str(), 1);
  ::setenv("BENCH_PORT", std::to_string(relay.ListenPort()).c_str(), 1);
  for (const std::string& command : options.prepare) {
    Child prepared(command, options.work + "/prepare.log");
    if (prepared.Finish(std::chrono::minutes(5)) != 0)
      throw std::runtime_error("failed: " + command + " (see " + options.work + "/prepare.log)");
  }
  if (packets) {
    std::cout << "Service " << service.url << " across a delay line of IP packets, " << options.roundTripMs
              << " ms round trip (" << options.roundTripMs / 2 << " ms each way); the relay only counts\n";
  } else {
    std::cout << "Service " << service.url << " through the relay, " << options.roundTripMs
              << " ms round trip (" << options.roundTripMs / 2
              << " ms each way, one more round trip before a connection's first bytes)\n";
  }

  std::vector<Summary> summaries;
  for (const ClientSpec& client : options.clients) {
    if (client.kind == ClientSpec::Kind::Probe) continue;
    const std::string label = client.kind == ClientSpec::Kind::Curl ? "curl " + client.label : client.label;
    const std::string errors = options.work + "/" + label + ".err";
    ::setenv("LS_TALLOWMER_DATA_DIR", (options.work + "/data-" + client.label).c_str(), 1);
    // Several sales, so that a moment's load on the machine does not decide the figures.
    std::vector<SaleRun> runs;
    std::vector<double> lengths;
    for (int sale = 0; sale < options.sales; ++sale) {
      SaleRun run = client.kind == ClientSpec::Kind::Curl
                        ? RunCurlSale(label, client.command, service, errors)
                        : RunHostSale(label, client.command, service, errors);
      const bool failed = !run.failure.empty();
      runs.push_back(std::move(run));
      if (failed) break;
      lengths.push_back(SaleLength(runs.back()));
    }
    size_t chosen = runs.size() - 1;
    if (runs.back().failure.empty()) {
      std::vector<size_t> order(runs.size());
      for (size_t index = 0; index < order.size(); ++index) order[index] = index;
      std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return lengths[a] < lengths[b]; });
      chosen = order[order.size() / 2];
    }
    const SaleRun& run = runs[chosen];
    const Journal journal = relay.Snapshot();
    summaries.push_back(Report(client.kind, run, journal, options));
    if (runs.size() > 1 && run.failure.empty()) {
      std::cout << "  (the median of " << runs.size() << " sales, from "
                << Fixed(*std::min_element(lengths.begin(), lengths.end()), 0) << " to "
                << Fixed(*std::max_element(lengths.begin(), lengths.end()), 0)
                << " ms from the first call)\n";
    }
    if (options.trace) Trace(run, journal, run.began);
  }
  for (const ClientSpec& client : options.clients) {
    if (client.kind == ClientSpec::Kind::Probe) RunProbe(client, relay, options);
  }
  ClosingTable(summaries, options);
  LastLine(summaries);
  return 0;
}

}  // namespace
}  // namespace tallowmer::bench

int main(int argc, char** argv) {
  try {
    return tallowmer::bench::Run(tallowmer::bench::ParseOptions(argc, argv));
  } catch (const std::invalid_argument& error) {
    std::cerr << "wan_bench: " << error.what() << "\n" << tallowmer::bench::kUsage;
    return 2;
  } catch (const std::exception& error) {
    std::cerr << "wan_bench: " << error.what() << std::endl;
    return 1;
  }
}
