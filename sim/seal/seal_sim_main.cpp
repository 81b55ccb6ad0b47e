// Serves simulated seals for trying the system by hand or from a script.
//   zarn-seal-sim [--com N] [--tcp ADDRESS|auto] [--empty] [--stay] [--trace] SERIAL[/MAJOR.MINOR]...
// All seals share one link: a pseudo-terminal entered as COM N (1 by default) in a port
// map of its own, whose file it prints ("map FILE": point ZARN_PORT_MAP at it), or a TCP
// listener on ADDRESS:1418 ("tcp ADDRESS"; auto picks a free loopback address).
// Versions 3.xx and above work on 16-byte blocks, 2.xx and below on 8-byte blocks
// (default 3.00). Unless --empty, each seal starts with some log entries. For each seal
// it prints its key-set line (as the command keys does), to put into the key database.
// Then it reads commands from stdin; at the end of the input it quits, or with --stay
// serves on until SIGINT or SIGTERM:
//   keys SERIAL                      "keyset SERIAL NUMBER SECONDS AUTH AUTHZ IDENT ENC QUAREL" (hex)
//   keyset SERIAL NUMBER SECONDS [AUTH AUTHZ IDENT ENC [QUAREL]]   a key-set (random keys if left out)
//   offset SERIAL SECONDS            the seal's clock runs SECONDS ahead of the computer's
//   event SERIAL [COUNT]             seal events now
//   sysevent SERIAL CODE             a system event now
//   health SERIAL                    a state-of-health record now
//   pad SERIAL PAGES                 the number of pad pages
//   fault SERIAL REQUEST KIND [PARAM [TIMES]]   REQUEST: a command letter, G, ? (search) or *;
//        KIND: refuse short type length mac signature foreign delay silence lost
//   clear SERIAL                     no more faults
//   log SERIAL                       the requests it decoded, with their MAC verdicts
//   show SERIAL                      version, key-set, clock, logon
//   quit
// With --trace it also prints each request a seal decodes, as log shows it, before the seal's
// reply goes out: "request SERIAL Q L option 0 mac good".
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <poll.h>
#include <sys/signalfd.h>

#include "seal_sim.h"

namespace {

using sim::SealFault;

bool ParseKey(const std::string& text, uint8_t* out, size_t n) {
  if (text.size() != 2 * n) return false;
  for (size_t i = 0; i < n; ++i) {
    unsigned v;
    if (std::sscanf(text.c_str() + 2 * i, "%2x", &v) != 1) return false;
    out[i] = uint8_t(v);
  }
  return true;
}

std::string KeysetLine(const sim::SimulatedSeal& seal) {
  sim::SealKeyset k = seal.Keyset();
  std::ostringstream out;
  out << "keyset " << seal.Serial() << ' ' << k.number << ' ' << k.Seconds() << ' ' << k.KeyHex(sim::Authentication)
      << ' ' << k.KeyHex(sim::Authorization) << ' ' << k.KeyHex(sim::Identification) << ' '
      << k.KeyHex(sim::Encryption) << ' ' << k.QuarelHex();
  return out.str();
}

// "yyyy-mm-dd hh:mm:ss" of a seal time.
std::string Time(uint32_t sealTime) {
  uint32_t s = sim::SimSealSeconds(sealTime);
  // Civil date from days since 1970-01-01 (2000-01-01 is day 10957).
  int64_t z = int64_t(s / 86400) + 10957 + 719468;
  int64_t era = z / 146097, doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100), mp = (5 * doy + 2) / 153;
  int64_t day = doy - (153 * mp + 2) / 5 + 1, month = mp < 10 ? mp + 3 : mp - 9, year = yoe + era * 400 + (month <= 2);
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02u:%02u:%02u", int(year), int(month), int(day), s / 3600 % 24,
                s / 60 % 60, s % 60);
  return text;
}

std::optional<SealFault> FaultKind(const std::string& word) {
  static const std::map<std::string, SealFault> kinds = {
      {"refuse", SealFault::Refuse},     {"short", SealFault::ShortRefusal},    {"type", SealFault::WrongType},
      {"length", SealFault::WrongLength}, {"mac", SealFault::FlipMac},          {"signature", SealFault::FlipSignature},
      {"foreign", SealFault::ForeignSerial}, {"delay", SealFault::Delay},       {"silence", SealFault::Silence},
      {"lost", SealFault::LostReply}};
  auto it = kinds.find(word);
  if (it == kinds.end()) return std::nullopt;
  return it->second;
}

const char* Verdict(sim::MacVerdict v) {
  switch (v) {
    case sim::MacVerdict::Good: return "good";
    case sim::MacVerdict::Bad: return "bad";
    case sim::MacVerdict::EraseCode: return "erase-code";
    default: return "-";
  }
}

// A request as log and --trace show it.
std::string RequestText(const sim::SealCommandRecord& c) {
  std::ostringstream out;
  out << c.type;
  if (c.type == 'Q') out << ' ' << c.command << " option " << unsigned(c.option);
  out << " mac " << Verdict(c.mac) << (c.refusal ? " refused " + std::to_string(c.refusal) : "")
      << (c.fault != SealFault::None ? " (fault)" : "");
  return out.str();
}

void AddSamples(sim::SimulatedSeal& seal) {
  uint32_t now = seal.Now();
  uint32_t s = sim::SimSealSeconds(now);
  for (uint32_t i = 0; i < 30; ++i) seal.AddSealEvent(sim::SimSealTime(s - (30 - i) * 3700));
  for (uint32_t i = 0; i < 12; ++i) seal.AddSystemEvent(sim::SimSealTime(s - (12 - i) * 9000), uint16_t(100 + i));
  for (uint8_t i = 0; i < 8; ++i)
    seal.AddHealthRecord({uint16_t((now & 0xFFFF) - 8 + i + 2), int8_t(15 + i), int8_t(25 + i), 36, 35, 2, i});
}

}  // namespace

int main(int argc, char** argv) {
  unsigned com = 1;
  std::string tcp;
  bool empty = false, stay = false, trace = false;
  std::map<uint32_t, std::unique_ptr<sim::SimulatedSeal>> seals;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--com" && i + 1 < argc) com = unsigned(std::stoul(argv[++i]));
    else if (a == "--tcp" && i + 1 < argc) tcp = argv[++i];
    else if (a == "--empty") empty = true;
    else if (a == "--stay") stay = true;
    else if (a == "--trace") trace = true;
    else if (!a.empty() && a[0] != '-') {
      unsigned major = 3, minor = 0;
      uint32_t serial = uint32_t(std::stoul(a));
      if (auto slash = a.find('/'); slash != std::string::npos)
        std::sscanf(a.c_str() + slash + 1, "%u.%u", &major, &minor);
      seals[serial] = std::make_unique<sim::SimulatedSeal>(serial, uint8_t(major), uint8_t(minor));
    } else {
      std::cerr << "usage: zarn-seal-sim [--com N] [--tcp ADDRESS|auto] [--empty] [--stay] [--trace] SERIAL[/MAJOR.MINOR]..."
                << std::endl;
      return 2;
    }
  }
  if (seals.empty()) seals[1234] = std::make_unique<sim::SimulatedSeal>(1234);

  // Blocked before any thread starts, so that only sigwait takes them.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  if (stay) pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  // While commands come in, the stop signals arrive here, so that they end the program
  // whether or not its input ever ends.
  const int signals = stay ? ::signalfd(-1, &stop, SFD_CLOEXEC) : -1;
  // The next command line; false at the end of the input or when a stop signal came.
  bool stopped = false;
  auto nextLine = [&](std::string& line) {
    while (signals >= 0 && std::cin.rdbuf()->in_avail() <= 0) {
      pollfd wait[2] = {{0, POLLIN, 0}, {signals, POLLIN, 0}};
      if (::poll(wait, 2, -1) < 0 && errno != EINTR) break;
      if (wait[1].revents & POLLIN) {
        stopped = true;
        return false;
      }
      if (wait[0].revents) break;
    }
    return bool(std::getline(std::cin, line));
  };

  // Lines of the requests and of the commands never mix. It outlives the link, whose thread
  // prints the requests.
  std::mutex output;
  sim::SealLinkSimulator link;
  std::unique_ptr<sim::ScopedPortMap> map;
  if (tcp.empty()) {
    std::string path = link.ServePty();
    map = std::make_unique<sim::ScopedPortMap>(std::vector<sim::ScopedPortMap::Entry>{{com, path, false}});
    std::cout << "map " << map->File() << "\nCOM" << com << ' ' << path << std::endl;
  } else {
    std::string address = tcp == "auto" ? link.ServeTcpOnFreeAddress() : (link.ServeTcp(tcp), tcp);
    std::cout << "tcp " << address << std::endl;
  }
  for (auto& [serial, seal] : seals) {
    if (!empty) AddSamples(*seal);
    if (!trace) {
      seal->Attach(link);
    } else {
      // Each request is printed before its reply is on the link: whoever has the reply finds
      // the request in the output already.
      link.AddSealHandler(serial, [&output, &simulated = *seal](const sim::SealRequest& request) {
        auto reply = simulated.Handle(request);
        const std::string text = RequestText(simulated.Commands().back());
        std::lock_guard lock(output);
        std::cout << "request " << simulated.Serial() << ' ' << text << std::endl;
        return reply;
      });
    }
    std::lock_guard lock(output);
    std::cout << KeysetLine(*seal) << std::endl;
  }

  std::string line;
  while (nextLine(line)) {
    std::lock_guard lock(output);
    std::istringstream in(line);
    std::string word;
    uint32_t serial = 0;
    if (!(in >> word) || word[0] == '#') continue;
    if (word == "quit") return 0;
    if (!(in >> serial) || !seals.count(serial)) {
      std::cout << "error: no such seal" << std::endl;
      continue;
    }
    sim::SimulatedSeal& seal = *seals[serial];
    bool ok = true;
    if (word == "keys") {
      std::cout << KeysetLine(seal) << std::endl;
      continue;
    } else if (word == "keyset") {
      uint32_t number = 0, seconds = 0;
      ok = bool(in >> number >> seconds);
      sim::SealKeyset k = sim::SealKeyset::Random(number, sim::SimSealTime(seconds));
      std::string hex;
      for (int i = 0; ok && i < 4 && in >> hex; ++i) ok = ParseKey(hex, k.keys[size_t(i)].data(), 16);
      if (ok && in >> hex) ok = ParseKey(hex, k.quarel.data(), 8);
      if (ok) seal.SetKeyset(k);
    } else if (word == "offset") {
      double seconds = 0;
      ok = bool(in >> seconds);
      if (ok) seal.SetClockOffset(seconds);
    } else if (word == "event") {
      int count = 1;
      in >> count;
      for (int i = 0; i < count; ++i) seal.AddSealEvent(seal.Now());
    } else if (word == "sysevent") {
      unsigned code = 0;
      ok = bool(in >> code);
      if (ok) seal.AddSystemEvent(seal.Now(), uint16_t(code));
    } else if (word == "health") {
      seal.AddHealthRecord({uint16_t((seal.Now() & 0xFFFF) + 2), 18, 24, 36, 35, 1, 0});
    } else if (word == "pad") {
      unsigned pages = 0;
      ok = bool(in >> pages) && pages < 256;
      if (ok) seal.SetPadPageCount(uint8_t(pages));
    } else if (word == "fault") {
      std::string request, kind;
      sim::SealFaultSpec spec;
      ok = bool(in >> request >> kind) && request.size() == 1;
      auto fault = ok ? FaultKind(kind) : std::nullopt;
      ok = bool(fault);
      if (ok) {
        spec.fault = *fault;
        in >> spec.param >> spec.times;
        seal.InjectFault(request[0], spec);
      }
    } else if (word == "clear") {
      seal.ClearFaults();
    } else if (word == "log") {
      for (const auto& c : seal.Commands()) std::cout << "  " << RequestText(c) << '\n';
    } else if (word == "show") {
      sim::SealKeyset k = seal.Keyset();
      char keyset[32];
      std::snprintf(keyset, sizeof keyset, "%.5u-%u", k.number >> 8, k.number & 0xFF);
      std::cout << "seal " << serial << " version " << unsigned(seal.Major()) << " blocks " << seal.BlockSize()
                << " keyset " << keyset << " time " << Time(k.time) << " clock " << Time(seal.Now()) << " offset "
                << seal.ClockOffset() << (seal.LoggedOn() ? " logged on" : "") << std::endl;
      continue;
    } else {
      ok = false;
    }
    std::cout << (ok ? "ok" : "error") << std::endl;
  }
  if (stay && !stopped) {
    int signal = 0;
    sigwait(&stop, &signal);
  }
  return 0;
}
