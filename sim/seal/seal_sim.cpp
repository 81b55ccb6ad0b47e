#include "seal_sim.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "erase_code.h"
#include "hash_key.h"

namespace sim {

namespace {

constexpr uint32_t HalfDay = 43200;
constexpr uint16_t Letter(char c) { return uint16_t(uint8_t(c)); }

void Put16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
uint16_t Get16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t Get32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

std::string Hex(const uint8_t* p, size_t n) {
  std::string s;
  char two[3];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(two, sizeof two, "%02X", p[i]);
    s += two;
  }
  return s;
}

bool Ecb(const EVP_CIPHER* cipher, const uint8_t* key, uint8_t* data, size_t length, bool encrypt) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  if (!ctx) return false;
  std::vector<uint8_t> out(length + 32);
  int n = 0, tail = 0;
  bool ok = EVP_CipherInit_ex(ctx, cipher, nullptr, key, nullptr, encrypt ? 1 : 0) == 1 &&
            EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
            EVP_CipherUpdate(ctx, out.data(), &n, data, int(length)) == 1 &&
            EVP_CipherFinal_ex(ctx, out.data() + n, &tail) == 1 && size_t(n + tail) == length;
  EVP_CIPHER_CTX_free(ctx);
  if (ok) std::memcpy(data, out.data(), length);
  return ok;
}

std::vector<uint8_t> RandomBytes(size_t n) {
  std::vector<uint8_t> v(n);
  if (RAND_bytes(v.data(), int(n)) != 1) throw std::runtime_error("RAND_bytes failed");
  return v;
}

// Days from 1970-01-01 in the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = unsigned(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + int64_t(doe) - 719468;
}

// Wall-clock seconds of the local time since 2000-01-01 00:00 local time: the seal
// counts the computer's local time with no zone or daylight-saving step.
double LocalSecondsNow() {
  auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                std::chrono::system_clock::now().time_since_epoch())
                .count();
  std::time_t secs = std::time_t(us / 1000000);
  std::tm local{};
  localtime_r(&secs, &local);
  int64_t days = DaysFromCivil(local.tm_year + 1900, unsigned(local.tm_mon + 1), unsigned(local.tm_mday)) - 10957;
  return double(days) * 86400.0 + local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec + double(us % 1000000) / 1e6;
}

uint32_t SecondsToSealTime(double seconds) {
  long long s = std::llround(seconds);
  return s <= 0 ? SimSealTime(0) : SimSealTime(uint32_t(std::min<long long>(s, 0xFFFFFFFFll)));
}

SealStatusRecord DefaultStatus(uint32_t serial, uint32_t now) {
  SealStatusRecord r{};
  uint8_t* p = r.data();
  Put32(p + 0, serial);
  p[12] = 0x00;  // wire closed, housing closed, protection safe, no external power
  p[13] = 21;    // degrees
  p[14] = 36;    // external battery 3.6 V
  p[15] = 35;    // battery 3.5 V
  const uint8_t batteryId[8] = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE};
  std::memcpy(p + 26, batteryId, 8);
  std::memcpy(p + 34, "LiSOCl2", 7);
  Put16(p + 42, 324);  // 2024-03
  Put32(p + 44, 1234567);
  Put16(p + 48, 1123);  // 2023-11
  Put32(p + 50, 250500);
  uint16_t halfDays = uint16_t(now);
  Put16(p + 54, uint16_t(halfDays - 400));
  Put16(p + 56, uint16_t(halfDays - 300));
  Put16(p + 58, uint16_t(int16_t(-3)));
  Put16(p + 60, 12);
  Put16(p + 62, 420);
  Put16(p + 64, 512);
  Put16(p + 66, 800);
  Put16(p + 68, uint16_t(halfDays - 500));
  std::memcpy(p + 70, "LD-0042", 7);
  Put32(p + 86, 0);
  p[90] = 1;
  return r;
}

constexpr uint8_t PageType[3] = {'F', 'S', 'H'};
constexpr size_t EntrySize[3] = {4, 6, 8};
constexpr size_t EntriesPerPage[3] = {12, 8, 6};

}  // namespace

uint32_t SimSealTime(uint32_t s) { return (HalfDay - s % HalfDay) << 16 | (s / HalfDay & 0xFFFF); }

uint32_t SimSealSeconds(uint32_t t) { return (t & 0xFFFF) * HalfDay + HalfDay - (t >> 16); }

// ---- SealKeyset ----

std::string SealKeyset::KeyHex(SealKeyType type) const { return Hex(Key(type).data(), 16); }
std::string SealKeyset::QuarelHex() const { return Hex(quarel.data(), 8); }

SealKeysetRecord SealKeyset::Record() const {
  SealKeysetRecord r{};
  Put32(r.data(), number);
  Put32(r.data() + 4, time);
  for (size_t k = 0; k < 4; ++k) std::memcpy(r.data() + 8 + 16 * k, keys[k].data(), 16);
  std::memcpy(r.data() + 72, quarel.data(), 8);
  return r;
}

SealKeyset SealKeyset::FromRecord(const SealKeysetRecord& r) {
  SealKeyset k;
  k.number = Get32(r.data());
  k.time = Get32(r.data() + 4);
  for (size_t i = 0; i < 4; ++i) std::memcpy(k.keys[i].data(), r.data() + 8 + 16 * i, 16);
  std::memcpy(k.quarel.data(), r.data() + 72, 8);
  return k;
}

SealKeyset SealKeyset::Random(uint32_t number, uint32_t time) {
  SealKeyset k;
  k.number = number;
  k.time = time;
  auto bytes = RandomBytes(72);
  for (size_t i = 0; i < 4; ++i) std::memcpy(k.keys[i].data(), bytes.data() + 16 * i, 16);
  std::memcpy(k.quarel.data(), bytes.data() + 64, 8);
  return k;
}

// ---- The formulas ----

bool SealCipher(const SealKey16& key, size_t blockSize, uint8_t* data, size_t length, bool encrypt) {
  if ((blockSize != 8 && blockSize != 16) || length % blockSize) return false;
  if (length == 0) return true;
  // Two-key triple DES is K1, K2, K1 (DES-EDE); AES-128 for the 16-byte blocks.
  return Ecb(blockSize == 16 ? EVP_aes_128_ecb() : EVP_des_ede_ecb(), key.data(), data, length, encrypt);
}

bool SealHash(const uint8_t* data, size_t blocks, uint8_t value[8]) {
  // Single DES from the default provider: three-key DES-EDE with the same key three times.
  uint8_t key[24];
  for (int i = 0; i < 3; ++i) std::memcpy(key + 8 * i, HashKeyBytes, 8);
  for (size_t b = 0; b < blocks; ++b) {
    for (int k = 0; k < 8; ++k) value[k] ^= data[8 * b + k];
    if (!Ecb(EVP_des_ede3_ecb(), key, value, 8, true)) return false;
  }
  return true;
}

namespace {

std::vector<uint8_t> FoldedChain(const std::vector<uint8_t>& chain, uint8_t command, uint8_t option,
                                 const uint8_t* plain, size_t length) {
  std::vector<uint8_t> b = chain;
  uint16_t crc = Crc16Xmodem(plain, length);
  b[0] ^= command;
  b[2] ^= option;
  b[4] ^= uint8_t(crc);
  b[6] ^= uint8_t(crc >> 8);
  return b;
}

}  // namespace

std::vector<uint8_t> SealRequestMac(const SealKeyset& keys, const std::vector<uint8_t>& chain, uint8_t command,
                                    uint8_t option, const std::vector<uint8_t>& plainData) {
  auto b = FoldedChain(chain, command, option, plainData.data(), plainData.size());
  if (!SealCipher(keys.Key(Authorization), b.size(), b.data(), b.size(), false)) return {};
  return b;
}

std::vector<uint8_t> SealReplyMac(const SealKeyset& keys, const std::vector<uint8_t>& previousChain,
                                  const std::vector<uint8_t>& plainData) {
  std::vector<uint8_t> v = previousChain;
  const size_t n = v.size();
  if ((n != 8 && n != 16) || plainData.size() % n) return {};
  if (n == 8) {
    if (!SealHash(plainData.data(), plainData.size() / 8, v.data()) ||
        !SealCipher(keys.Key(Identification), 8, v.data(), 8, true))
      return {};
    return v;
  }
  for (size_t at = 0; at < plainData.size(); at += 16) {
    for (size_t k = 0; k < 16; ++k) v[k] ^= plainData[at + k];
    if (!SealCipher(keys.Key(Identification), 16, v.data(), 16, true)) return {};
  }
  return v;
}

SealKey8 SealPageSignature(const SealKeyset& keys, size_t blockSize, const SealPage& page) {
  SealKey8 f{};
  if (blockSize == 8) {
    std::memcpy(f.data(), page.data(), 8);
    if (!SealHash(page.data() + 16, 6, f.data()) || !SealCipher(keys.Key(Authentication), 8, f.data(), 8, true))
      return {};
    return f;
  }
  uint8_t d[16] = {};
  std::memcpy(d, page.data(), 8);
  SealKey16 block;
  for (size_t at = 16; at < 64; at += 16) {
    for (size_t k = 0; k < 16; ++k) block[k] = uint8_t(d[k] ^ page[at + k]);
    if (!SealCipher(keys.Key(Authentication), 16, block.data(), 16, true)) return {};
    std::memcpy(d, block.data(), 16);
  }
  for (size_t i = 0; i < 8; ++i) f[i] = uint8_t(d[i] ^ d[i + 8]);
  return f;
}

// ---- The engine ----

struct SimulatedSeal::Engine {
  struct Log {
    uint8_t lowest = 0, highest = 0, current = 0;
    uint32_t count = 0;
    uint16_t sequence = 0;  // pages begun, kept in the page header
  };
  struct QueuedFault {
    char request;
    SealFaultSpec spec;
  };

  const uint32_t serial;
  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  uint8_t major, minor;
  SealKeyset keyset;
  uint8_t nextIndex;
  std::vector<uint8_t> chain;
  double offset = 0;
  bool stableClock = true;
  bool loggedOn = false;
  uint16_t operator1 = 0, operator2 = 0;
  SealStatusRecord status;
  Log logs[3];
  std::array<SealPage, 256> pages{};
  std::array<uint8_t, 256> used{};
  uint8_t extendedStatus = 0;
  std::vector<SealPage> pad;
  std::deque<QueuedFault> faults;
  std::vector<SealCommandRecord> commands;

  Engine(uint32_t s, uint8_t maj, uint8_t min) : serial(s), major(maj), minor(min) {
    uint32_t now = SecondsToSealTime(LocalSecondsNow());
    keyset = SealKeyset::Random(serial << 8 | 1, now);
    nextIndex = 2;
    chain = RandomBytes(Block());
    status = DefaultStatus(serial, now);
    SetLogPages(SealLog::SealEvents, 0, 15);
    SetLogPages(SealLog::SystemEvents, 16, 31);
    SetLogPages(SealLog::Health, 32, 47);
    pad.assign(4, SealPage{});
  }

  size_t Block() const { return major >= 3 ? 16 : 8; }
  uint32_t NowLocked() const { return SecondsToSealTime(LocalSecondsNow() + offset); }

  void StartPage(size_t log, uint8_t page) {
    pages[page] = {};
    used[page] = 0;
    Put16(pages[page].data(), logs[log].sequence++);
    pages[page][2] = PageType[log];
    pages[page][3] = page;
  }

  void SetLogPages(SealLog which, uint8_t lowest, uint8_t highest) {
    size_t log = size_t(which);
    logs[log] = Log{lowest, std::max(lowest, highest), lowest, 0, 0};
    for (unsigned p = lowest; p <= logs[log].highest; ++p) StartPage(log, uint8_t(p));
  }

  void AddEntry(SealLog which, uint32_t time, const uint8_t* entry) {
    size_t log = size_t(which);
    Log& l = logs[log];
    if (used[l.current] >= EntriesPerPage[log]) {
      l.current = l.current >= l.highest ? l.lowest : uint8_t(l.current + 1);
      StartPage(log, l.current);
    }
    SealPage& page = pages[l.current];
    if (used[l.current] == 0) Put32(page.data() + 4, time);
    std::memcpy(page.data() + 16 + EntrySize[log] * used[l.current], entry, EntrySize[log]);
    ++used[l.current];
    ++l.count;
  }

  std::optional<SealPage> SignedPage(uint8_t number) const {
    bool inLog = false;
    for (const Log& l : logs) inLog |= number >= l.lowest && number <= l.highest;
    if (!inLog) return std::nullopt;
    SealPage page = pages[number];
    SealKey8 sig = SealPageSignature(keyset, Block(), page);
    std::memcpy(page.data() + 8, sig.data(), 8);
    return page;
  }

  SealLogInfoRecord LogInfo() const {
    SealLogInfoRecord r{};
    Put32(r.data() + 0, logs[0].count);
    r[4] = logs[0].lowest;
    r[5] = logs[0].highest;
    r[7] = logs[0].current;
    Put32(r.data() + 8, logs[1].count);
    r[12] = logs[1].lowest;
    r[13] = logs[1].highest;
    r[15] = logs[1].current;
    Put16(r.data() + 16, uint16_t(std::min<uint32_t>(logs[2].count, 0xFFFF)));
    r[18] = logs[2].lowest;
    r[19] = logs[2].highest;
    r[21] = logs[2].current;
    r[22] = uint8_t(pad.size());
    r[23] = extendedStatus;
    return r;
  }

  SealStatusRecord Status() const {
    SealStatusRecord r = status;
    Put32(r.data() + 4, NowLocked());
    Put16(r.data() + 8, operator1);
    Put16(r.data() + 10, operator2);
    return r;
  }

  std::optional<SealFaultSpec> TakeFault(char request) {
    for (auto it = faults.begin(); it != faults.end(); ++it) {
      if (it->request != request && it->request != AnyRequest) continue;
      SealFaultSpec spec = it->spec;
      if (it->spec.times > 0 && --it->spec.times == 0) faults.erase(it);
      return spec;
    }
    return std::nullopt;
  }

  static std::vector<uint8_t> Refusal(int16_t reason) {
    std::vector<uint8_t> p(12, 0);
    Put16(p.data(), Letter('D'));
    Put16(p.data() + 10, uint16_t(reason));
    return p;
  }

  // Waits so that the clock is read a quarter second or more away from a rounding edge.
  void SteadyClockForStatus(const SealRequest& request) {
    double offsetNow;
    {
      std::lock_guard lock(mutex);
      size_t b = Block();
      const auto& p = request.payload;
      if (!stableClock || p.size() < 4 + b || Get16(p.data()) != Letter('Q') || p[2 + b] != 'S') return;
      offsetNow = offset;
    }
    double s = LocalSecondsNow() + offsetNow;
    double frac = s - std::floor(s);
    if (frac >= 0.25 && frac < 0.5)
      std::this_thread::sleep_for(std::chrono::microseconds(long((0.5 - frac) * 1e6) + 2000));
  }

  std::optional<SealReply> Handle(const SealRequest& request) {
    SteadyClockForStatus(request);
    std::unique_lock lock(mutex);
    SealCommandRecord record;
    record.receiver = request.receiver;
    auto done = [&](std::optional<SealReply> reply) {
      commands.push_back(std::move(record));
      changed.notify_all();
      return reply;
    };
    const auto& p = request.payload;
    if (p.size() < 2) return done(std::nullopt);
    const uint16_t type = Get16(p.data());
    record.type = type < 0x80 ? char(type) : '?';

    if (type == Letter('I') && p.size() == 138) {
      // A seal search: answer unless already listed.
      for (size_t at = 10; at < 138; at += 4)
        if (Get32(p.data() + at) == serial) return done(std::nullopt);
      auto fault = TakeFault(FindRequests);
      if (auto early = EarlyFault(record, fault)) return done(*early);
      std::vector<uint8_t> reply(6);
      Put16(reply.data(), Letter('I'));
      Put32(reply.data() + 2, serial);
      return done(Finish(record, fault, std::move(reply)));
    }
    if (type == Letter('G')) {
      auto fault = TakeFault('G');
      if (auto early = EarlyFault(record, fault)) return done(*early);
      chain = RandomBytes(Block());
      std::vector<uint8_t> reply(16 + Block());
      Put16(reply.data(), Letter('C'));
      Put32(reply.data() + 2, serial);
      Put32(reply.data() + 6, keyset.number);
      Put32(reply.data() + 10, keyset.time);
      reply[14] = major;
      reply[15] = minor;
      std::memcpy(reply.data() + 16, chain.data(), Block());
      return done(Finish(record, fault, std::move(reply)));
    }
    if (type != Letter('Q')) {
      auto fault = TakeFault(AnyRequest);
      if (auto early = EarlyFault(record, fault)) return done(*early);
      record.refusal = 4;
      return done(Finish(record, fault, Refusal(4)));
    }
    return done(Transaction(record, p));
  }

  // Faults that stop the request before it runs; no value means it runs.
  std::optional<std::optional<SealReply>> EarlyFault(SealCommandRecord& record,
                                                     const std::optional<SealFaultSpec>& fault) {
    if (!fault) return std::nullopt;
    record.fault = fault->fault;
    switch (fault->fault) {
      case SealFault::Silence:
        return std::optional<SealReply>{};
      case SealFault::Refuse:
        record.refusal = int16_t(fault->param);
        return SealReply{Refusal(int16_t(fault->param)), {}};
      case SealFault::ShortRefusal: {
        auto r = Refusal(1);
        r.resize(size_t(std::clamp<int32_t>(fault->param ? fault->param : 2, 2, 11)));
        return SealReply{r, {}};
      }
      default:
        return std::nullopt;
    }
  }

  // Spoils a reply of a request that ran.
  std::optional<SealReply> Finish(SealCommandRecord& record, const std::optional<SealFaultSpec>& fault,
                                  std::vector<uint8_t> reply) {
    SealReply out{std::move(reply), {}};
    if (!fault) return out;
    record.fault = fault->fault;
    switch (fault->fault) {
      case SealFault::WrongType:
        Put16(out.payload.data(), uint16_t(fault->param ? fault->param : 'X'));
        break;
      case SealFault::WrongLength: {
        int32_t d = fault->param ? fault->param : 1;
        if (d > 0) out.payload.resize(out.payload.size() + size_t(d), 0);
        else out.payload.resize(out.payload.size() - std::min(out.payload.size(), size_t(-d)));
        break;
      }
      case SealFault::FlipMac:
        if (out.payload.size() > 2 + 2 * Block() && Get16(out.payload.data()) == Letter('R'))
          out.payload[2 + Block()] ^= 0x01;
        break;
      case SealFault::ForeignSerial:
        out.fault = {LinkFault::ForeignSender, uint32_t(fault->param)};
        break;
      case SealFault::Delay:
        out.fault = {LinkFault::Late, uint32_t(fault->param)};
        break;
      case SealFault::LostReply:
        return std::nullopt;
      case SealFault::Link:
        out.fault = fault->link;
        break;
      default:
        break;
    }
    return out;
  }

  std::optional<SealReply> Transaction(SealCommandRecord& record, const std::vector<uint8_t>& p) {
    const size_t b = Block();
    if (p.size() < 4 + b) {
      auto fault = TakeFault(AnyRequest);
      if (auto early = EarlyFault(record, fault)) return *early;
      record.refusal = 4;
      return Finish(record, fault, Refusal(4));
    }
    const uint8_t* mac = p.data() + 2;
    const uint8_t command = p[2 + b], option = p[3 + b];
    record.command = char(command);
    record.option = option;
    std::vector<uint8_t> data(p.begin() + long(4 + b), p.end());
    auto fault = TakeFault(char(command));

    // The request MAC, over the plain data.
    bool wellFormed = data.size() % b == 0;
    if (command == 'E') {
      bool code = std::memcmp(mac, SealEraseCode, 8) == 0 && std::all_of(mac + 8, mac + b, [](uint8_t x) { return x == 0; });
      record.mac = code ? MacVerdict::EraseCode : MacVerdict::Bad;
    } else if (wellFormed) {
      SealCipher(keyset.Key(Encryption), b, data.data(), data.size(), true);
      auto expected = FoldedChain(chain, command, option, data.data(), data.size());
      std::vector<uint8_t> m(mac, mac + b);
      SealCipher(keyset.Key(Authorization), b, m.data(), b, true);
      record.mac = m == expected ? MacVerdict::Good : MacVerdict::Bad;
    }
    record.data = data;
    if (auto early = EarlyFault(record, fault)) return *early;

    auto refuse = [&](int16_t reason) {
      record.refusal = reason;
      return Finish(record, fault, Refusal(reason));
    };
    if (!wellFormed) return refuse(4);
    if (record.mac == MacVerdict::Bad) return refuse(1);

    size_t expectedLength = 0;
    switch (command) {
      case 'L':
      case 'T':
        expectedLength = b;
        break;
      case 'W':
        expectedLength = 64;
        break;
      case 'O':
      case 'S':
      case 'I':
      case 'P':
      case 'K':
      case 'R':
      case 'E':
        break;
      default:
        return refuse(4);
    }
    if (data.size() != expectedLength) return refuse(4);

    std::vector<uint8_t> replyData;
    std::optional<SealKeyset> switchTo;
    switch (command) {
      case 'L':
        operator1 = Get16(data.data());
        operator2 = Get16(data.data() + 2);
        loggedOn = true;
        break;
      case 'O':
        loggedOn = false;
        operator1 = operator2 = 0;
        break;
      case 'S': {
        auto r = Status();
        replyData.assign(r.begin(), r.end());
        break;
      }
      case 'T': {
        uint32_t t = Get32(data.data());
        uint32_t high = t >> 16;
        if (high == 0 || high > HalfDay) return refuse(1901);
        offset = double(SimSealSeconds(t)) - LocalSecondsNow();
        break;
      }
      case 'I': {
        auto r = LogInfo();
        replyData.assign(r.begin(), r.end());
        break;
      }
      case 'P': {
        auto page = SignedPage(option);
        if (!page) return refuse(3);
        if (fault && fault->fault == SealFault::FlipSignature) (*page)[8] ^= 0x01;
        replyData.assign(page->begin(), page->end());
        break;
      }
      case 'K': {
        switchTo = SealKeyset::Random(serial << 8 | nextIndex, NowLocked());
        nextIndex = uint8_t(nextIndex + 1);
        auto r = switchTo->Record();
        replyData.assign(r.begin(), r.end());
        break;
      }
      case 'W':
        if (option >= pad.size()) return refuse(3);
        std::memcpy(pad[option].data(), data.data(), 64);
        break;
      case 'R':
        if (option >= pad.size()) return refuse(3);
        replyData.assign(pad[option].begin(), pad[option].end());
        break;
      case 'E':
        switchTo = SealKeyset::Zero();
        break;
    }

    // 'R', the next chaining value, and with data the MAC from the chain before it and the data.
    std::vector<uint8_t> next = RandomBytes(b);
    std::vector<uint8_t> reply(2 + b);
    Put16(reply.data(), Letter('R'));
    std::memcpy(reply.data() + 2, next.data(), b);
    if (!replyData.empty()) {
      auto replyMac = SealReplyMac(keyset, chain, replyData);
      SealCipher(keyset.Key(Encryption), b, replyData.data(), replyData.size(), true);
      reply.insert(reply.end(), replyMac.begin(), replyMac.end());
      reply.insert(reply.end(), replyData.begin(), replyData.end());
    }
    chain = next;
    if (switchTo) keyset = *switchTo;
    return Finish(record, fault, std::move(reply));
  }
};

// ---- SimulatedSeal ----

SimulatedSeal::SimulatedSeal(uint32_t serial, uint8_t major, uint8_t minor)
    : engine_(std::make_shared<Engine>(serial, major, minor)) {}

SimulatedSeal::~SimulatedSeal() = default;

void SimulatedSeal::Attach(SealLinkSimulator& link) {
  link.AddSealHandler(engine_->serial, [engine = engine_](const SealRequest& r) { return engine->Handle(r); });
}

std::optional<SealReply> SimulatedSeal::Handle(const SealRequest& request) { return engine_->Handle(request); }

uint32_t SimulatedSeal::Serial() const { return engine_->serial; }

void SimulatedSeal::SetVersion(uint8_t major, uint8_t minor) {
  std::lock_guard lock(engine_->mutex);
  engine_->major = major;
  engine_->minor = minor;
  engine_->chain.resize(engine_->Block());
}

uint8_t SimulatedSeal::Major() const {
  std::lock_guard lock(engine_->mutex);
  return engine_->major;
}

size_t SimulatedSeal::BlockSize() const {
  std::lock_guard lock(engine_->mutex);
  return engine_->Block();
}

void SimulatedSeal::SetKeyset(const SealKeyset& keyset) {
  std::lock_guard lock(engine_->mutex);
  engine_->keyset = keyset;
  engine_->nextIndex = uint8_t(keyset.number + 1);
}

SealKeyset SimulatedSeal::Keyset() const {
  std::lock_guard lock(engine_->mutex);
  return engine_->keyset;
}

void SimulatedSeal::SetNextKeysetIndex(uint8_t index) {
  std::lock_guard lock(engine_->mutex);
  engine_->nextIndex = index;
}

std::vector<uint8_t> SimulatedSeal::ChainingValue() const {
  std::lock_guard lock(engine_->mutex);
  return engine_->chain;
}

void SimulatedSeal::SetClockOffset(double seconds) {
  std::lock_guard lock(engine_->mutex);
  engine_->offset = seconds;
}

double SimulatedSeal::ClockOffset() const {
  std::lock_guard lock(engine_->mutex);
  return engine_->offset;
}

uint32_t SimulatedSeal::Now() const {
  std::lock_guard lock(engine_->mutex);
  return engine_->NowLocked();
}

void SimulatedSeal::SetStableClockReads(bool on) {
  std::lock_guard lock(engine_->mutex);
  engine_->stableClock = on;
}

bool SimulatedSeal::LoggedOn() const {
  std::lock_guard lock(engine_->mutex);
  return engine_->loggedOn;
}

uint16_t SimulatedSeal::Operator1() const {
  std::lock_guard lock(engine_->mutex);
  return engine_->operator1;
}

uint16_t SimulatedSeal::Operator2() const {
  std::lock_guard lock(engine_->mutex);
  return engine_->operator2;
}

void SimulatedSeal::SetStatusTemplate(const SealStatusRecord& record) {
  std::lock_guard lock(engine_->mutex);
  engine_->status = record;
}

SealStatusRecord SimulatedSeal::StatusTemplate() const {
  std::lock_guard lock(engine_->mutex);
  return engine_->status;
}

SealStatusRecord SimulatedSeal::StatusRecord() const {
  std::lock_guard lock(engine_->mutex);
  return engine_->Status();
}

void SimulatedSeal::SetLogPages(SealLog log, uint8_t lowest, uint8_t highest) {
  std::lock_guard lock(engine_->mutex);
  engine_->SetLogPages(log, lowest, highest);
}

void SimulatedSeal::AddSealEvent(uint32_t time) {
  uint8_t entry[4];
  Put32(entry, time);
  std::lock_guard lock(engine_->mutex);
  engine_->AddEntry(SealLog::SealEvents, time, entry);
}

void SimulatedSeal::AddSystemEvent(uint32_t time, uint16_t code) {
  uint8_t entry[6];
  Put32(entry, time);
  Put16(entry + 4, code);
  std::lock_guard lock(engine_->mutex);
  engine_->AddEntry(SealLog::SystemEvents, time, entry);
}

void SimulatedSeal::AddHealthRecord(const HealthRecord& r) {
  uint8_t entry[8];
  Put16(entry, r.day);
  entry[2] = uint8_t(r.minTemperature);
  entry[3] = uint8_t(r.maxTemperature);
  entry[4] = r.externalBattery;
  entry[5] = r.mainBattery;
  entry[6] = r.onBattery;
  entry[7] = r.moveEvents;
  std::lock_guard lock(engine_->mutex);
  // The page time of a state-of-health page is the half-day of its first record.
  engine_->AddEntry(SealLog::Health, uint32_t(HalfDay) << 16 | uint16_t(r.day - 2), entry);
}

void SimulatedSeal::SetLogPage(uint8_t page, const SealPage& plain) {
  std::lock_guard lock(engine_->mutex);
  engine_->pages[page] = plain;
}

std::optional<SealPage> SimulatedSeal::LogPage(uint8_t page) const {
  std::lock_guard lock(engine_->mutex);
  return engine_->SignedPage(page);
}

SealLogInfoRecord SimulatedSeal::LogInfo() const {
  std::lock_guard lock(engine_->mutex);
  return engine_->LogInfo();
}

void SimulatedSeal::SetExtendedStatus(uint8_t flags) {
  std::lock_guard lock(engine_->mutex);
  engine_->extendedStatus = flags;
}

void SimulatedSeal::SetPadPageCount(uint8_t pages) {
  std::lock_guard lock(engine_->mutex);
  engine_->pad.resize(pages);
}

uint8_t SimulatedSeal::PadPageCount() const {
  std::lock_guard lock(engine_->mutex);
  return uint8_t(engine_->pad.size());
}

SealPage SimulatedSeal::PadPage(uint8_t page) const {
  std::lock_guard lock(engine_->mutex);
  return page < engine_->pad.size() ? engine_->pad[page] : SealPage{};
}

void SimulatedSeal::SetPadPage(uint8_t page, const SealPage& plain) {
  std::lock_guard lock(engine_->mutex);
  if (page < engine_->pad.size()) engine_->pad[page] = plain;
}

void SimulatedSeal::InjectFault(char request, SealFaultSpec fault) {
  std::lock_guard lock(engine_->mutex);
  engine_->faults.push_back({request, fault});
}

void SimulatedSeal::ClearFaults() {
  std::lock_guard lock(engine_->mutex);
  engine_->faults.clear();
}

std::vector<SealCommandRecord> SimulatedSeal::Commands() const {
  std::lock_guard lock(engine_->mutex);
  return engine_->commands;
}

void SimulatedSeal::ClearCommands() {
  std::lock_guard lock(engine_->mutex);
  engine_->commands.clear();
}

bool SimulatedSeal::WaitForCommands(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(engine_->mutex);
  return engine_->changed.wait_for(lock, timeout, [&] { return engine_->commands.size() >= count; });
}

}  // namespace sim
