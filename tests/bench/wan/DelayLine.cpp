#include "tests/bench/wan/DelayLine.h"

#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <string>
#include <vector>

namespace tallowmer::bench {
namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

// A TUN device of the calling thread's namespace, its packets without a header of TUN's own.
int OpenTun(const char* name) {
  const int fd = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC);
  if (fd < 0) Fail("/dev/net/tun");
  ifreq request{};
  request.ifr_flags = IFF_TUN | IFF_NO_PI;
  std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
  if (::ioctl(fd, TUNSETIFF, &request) != 0) {
    ::close(fd);
    Fail(std::string("TUNSETIFF ") + name);
  }
  return fd;
}

// The device up with its end of the link: `local`, the other end `peer`.
void Configure(const char* name, const char* local, const char* peer) {
  const std::string command = std::string("ip link set lo up && ip link set ") + name +
                              " up && ip addr add " + local + " peer " + peer + " dev " + name;
  if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

}  // namespace

NamespaceVisit::NamespaceVisit(const std::string& path) {
  home_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  const int other = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (home_ < 0 || other < 0 || ::setns(other, CLONE_NEWNET) != 0) {
    if (other >= 0) ::close(other);
    if (home_ >= 0) ::close(home_);
    Fail("entering " + path);
  }
  ::close(other);
}

NamespaceVisit::~NamespaceVisit() {
  ::setns(home_, CLONE_NEWNET);
  ::close(home_);
}

// Moves packets between the two devices, each held half the round trip, in order.
class DelayLine::Pump {
 public:
  Pump(int clientSide, int serviceSide, std::chrono::microseconds halfTrip)
      : fds_{clientSide, serviceSide}, halfTrip_(halfTrip) {
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) Fail("pipe");
    stopRead_ = pipe[0];
    stopWrite_ = pipe[1];
  }
  ~Pump() {
    for (const int fd : {fds_[0], fds_[1], stopRead_, stopWrite_}) ::close(fd);
  }

  void Run() {
    std::vector<char> packet(65536);
    while (true) {
      pollfd watched[3] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}, {stopRead_, POLLIN, 0}};
      int timeout = -1;
      const Clock::time_point next = NextDue();
      if (next != Clock::time_point::max()) {
        const auto wait = std::chrono::duration_cast<std::chrono::microseconds>(next - Clock::now()).count();
        timeout = wait <= 0 ? 0 : static_cast<int>((wait + 999) / 1000);
      }
      if (::poll(watched, 3, timeout) < 0 && errno != EINTR) return;
      if (watched[2].revents != 0) return;
      const Clock::time_point now = Clock::now();
      for (int side = 0; side < 2; ++side) {
        if ((watched[side].revents & POLLIN) == 0) continue;
        const ssize_t got = ::read(fds_[side], packet.data(), packet.size());
        if (got > 0)
          held_[side].push_back({now + halfTrip_, std::string(packet.data(), static_cast<size_t>(got))});
      }
      Deliver();
    }
  }

  void Stop() {
    const char byte = 0;
    [[maybe_unused]] const ssize_t written = ::write(stopWrite_, &byte, 1);
  }

 private:
  struct Held {
    Clock::time_point due;
    std::string packet;
  };

  Clock::time_point NextDue() const {
    Clock::time_point next = Clock::time_point::max();
    for (const auto& queue : held_) {
      if (!queue.empty()) next = std::min(next, queue.front().due);
    }
    return next;
  }

  // A packet read on one side leaves on the other; a device that will not take it loses it, as a
  // network may.
  void Deliver() {
    const Clock::time_point now = Clock::now();
    for (int side = 0; side < 2; ++side) {
      auto& queue = held_[side];
      while (!queue.empty() && queue.front().due <= now) {
        [[maybe_unused]] const ssize_t written =
            ::write(fds_[1 - side], queue.front().packet.data(), queue.front().packet.size());
        queue.pop_front();
      }
    }
  }

  int fds_[2];
  std::chrono::microseconds halfTrip_;
  std::deque<Held> held_[2];
  int stopRead_ = -1;
  int stopWrite_ = -1;
};

DelayLine::DelayLine(std::chrono::microseconds roundTrip, const std::string& serviceNamespace) {
  const int clientSide = OpenTun("wanc");
  Configure("wanc", kClientAddress, kServiceAddress);
  int serviceSide = -1;
  {
    const NamespaceVisit visit(serviceNamespace);
    serviceSide = OpenTun("wans");
    Configure("wans", kServiceAddress, kClientAddress);
  }
  pump_ = std::make_unique<Pump>(clientSide, serviceSide, roundTrip / 2);
  thread_ = std::thread([this] { pump_->Run(); });
}

DelayLine::~DelayLine() {
  pump_->Stop();
  thread_.join();
}

}  // namespace tallowmer::bench
