#include "key_decoder.h"

#include <atomic>
#include <new>
#include <thread>

namespace {

enum class Mode { Unknown, Block8, Block16 };

uint16_t U16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t U32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

// A decrypted status record that could have come from a seal: a time of day inside its
// half-day, operator IDs of at most three letters and battery dates with a real month.
// Decrypted with the wrong block mode, a record passes by chance about once in 40000.
bool PlausibleStatus(const uint8_t* p) {
  uint16_t high = SealTimeHigh(U32(p + 4));
  return high >= 1 && high <= SecondsPerHalfDay && U16(p + 8) <= 19682 && U16(p + 10) <= 19682 &&
         U16(p + 42) < 1300 && U16(p + 48) < 1300;
}

// A decrypted log page of a known type whose time lies inside its half-day.
bool PlausiblePage(const uint8_t* p) {
  return (p[2] == 'F' || p[2] == 'S' || p[2] == 'H') && SealTimeHigh(U32(p + 4)) <= SecondsPerHalfDay;
}

// A decrypted pad whose length field fits into the pad's bytes.
bool PlausiblePad(const uint8_t* p, size_t bytes) { return bytes >= 2 && U16(p) <= bytes - 2; }

SealErrorCode DecryptIn(TCryptoToken& token, Mode mode, uint8_t* data, size_t bytes) {
  return mode == Mode::Block16 ? token.DecryptData16(data, uint32_t(bytes / 16))
                               : token.DecryptData(data, uint32_t(bytes / 8));
}

// How many of the key's pads and status records make sense decrypted in each mode.
std::pair<int, int> RecordScores(TCryptoToken& token, const TKeyRecords& key) {
  int score8 = 0, score16 = 0;
  auto score = [&](const uint8_t* bytes, size_t size, auto plausible) {
    std::vector<uint8_t> b8(bytes, bytes + size), b16 = b8;
    if (token.DecryptData(b8.data(), uint32_t(size / 8)) == 0 && plausible(b8.data())) ++score8;
    if (token.DecryptData16(b16.data(), uint32_t(size / 16)) == 0 && plausible(b16.data())) ++score16;
  };
  for (const TKeyRecords::Pad& pad : key.pads) {
    if (pad.size < 2) continue;
    // The length field sits in the first page; one page of each mode is enough.
    score(pad.bytes.data(), PadPageSize, [n = pad.size](const uint8_t* p) { return PlausiblePad(p, n); });
  }
  for (const auto& record : key.status) score(record.data(), StatusRecordSize, PlausibleStatus);
  return {score8, score16};
}

// The file does not say which block mode the key-set's seal works in. The pages' own
// signatures tell: a key takes the mode in which a page of it checks out. Without such a
// page, the mode in which more of its records make sense once decrypted.
Mode DecodePages(TCryptoToken& token, TKeyRecords& key) {
  const size_t n = key.pages.size();
  if (n == 0) return Mode::Unknown;
  // ECB: all pages of the key go through the service in one call per mode.
  std::vector<uint8_t> plain8(n * LogPageSize), plain16;
  for (size_t i = 0; i < n; ++i) std::copy(key.pages[i].begin(), key.pages[i].end(), &plain8[i * LogPageSize]);
  plain16 = plain8;
  const bool ok8 = token.DecryptData(plain8.data(), uint32_t(n * LogPageSize / 8)) == 0;
  bool tried16 = false, ok16 = false;
  auto decrypt16 = [&] {
    if (!tried16) {
      tried16 = true;
      ok16 = token.DecryptData16(plain16.data(), uint32_t(n * LogPageSize / 16)) == 0;
    }
    return ok16;
  };
  constexpr SealErrorCode Unchecked = -1;
  std::vector<SealErrorCode> verdict8(n, Unchecked), verdict16(n, Unchecked);
  Mode mode = Mode::Unknown;
  size_t next = 0;
  for (; next < n && mode == Mode::Unknown; ++next) {
    if (ok8 && (verdict8[next] = token.CheckPageSignature(&plain8[next * LogPageSize])) == 0)
      mode = Mode::Block8;
    else if (decrypt16() && (verdict16[next] = token.CheckPageSignature16(&plain16[next * LogPageSize])) == 0)
      mode = Mode::Block16;
  }
  // No signature checked out (forged pages, or a service that cannot check them): every
  // page has its verdict in both modes by now, and the records' contents choose.
  if (mode == Mode::Unknown) {
    auto [score8, score16] = RecordScores(token, key);
    for (size_t i = 0; i < n; ++i) {
      score8 += ok8 && PlausiblePage(&plain8[i * LogPageSize]);
      score16 += ok16 && PlausiblePage(&plain16[i * LogPageSize]);
    }
    if (score8 == score16) score8 += ok8;
    mode = score16 > score8 ? Mode::Block16 : Mode::Block8;
    // Pages that decrypt in neither mode get no view; the other records still choose.
    if (mode == Mode::Block8 ? !ok8 : !ok16) return Mode::Unknown;
  }
  const bool use16 = mode == Mode::Block16;
  std::vector<SealErrorCode>& verdicts = use16 ? verdict16 : verdict8;
  const std::vector<uint8_t>& plain = use16 ? plain16 : plain8;
  if (next < n) {
    const uint8_t* rest = &plain[next * LogPageSize];
    const size_t count = n - next;
    if (use16) {
      token.CheckPageSignatures16(rest, count, &verdicts[next]);
    } else {
      std::vector<uint8_t> values(8 * count);
      for (size_t i = 0; i < count; ++i)
        verdicts[next + i] = token.PageSignatureHash(rest + LogPageSize * i, &values[8 * i]) ? 0 : SealError::CryptoTokenError;
      token.CheckPageSignatureHashes(rest, values.data(), count, &verdicts[next]);
    }
  }
  for (size_t i = 0; i < n; ++i) std::copy_n(&plain[i * LogPageSize], LogPageSize, key.pages[i].begin());
  key.verdicts = std::move(verdicts);
  key.pagesDecoded = true;
  return mode;
}

}  // namespace

void TKeyDecoder::Decode(TCryptoToken& token, TKeyRecords& key) {
  token.SelectKeyset(key.number, key.time);
  Mode mode = DecodePages(token, key);
  if (mode == Mode::Unknown) {
    auto [score8, score16] = RecordScores(token, key);
    mode = score16 > score8 ? Mode::Block16 : Mode::Block8;
  }
  for (TKeyRecords::Pad& pad : key.pads) {
    if (DecryptIn(token, mode, pad.bytes.data(), pad.bytes.size())) break;
    ++key.padsDecoded;
  }
  for (auto& record : key.status) {
    if (DecryptIn(token, mode, record.data(), record.size())) break;
    ++key.statusDecoded;
  }
}

void TKeyDecoder::Decode(TCryptoToken& token, std::vector<TKeyRecords>& keys) const {
  std::atomic<size_t> next{0};
  std::atomic<bool> outOfMemory{false};
  // Out of memory on any thread ends every thread's work and reaches the caller, as it
  // would from a decode on the caller's thread alone.
  auto work = [&](TCryptoToken& client) {
    try {
      for (size_t i; (i = next++) < keys.size();) Decode(client, keys[i]);
    } catch (const std::bad_alloc&) {
      outOfMemory = true;
      next = keys.size();
    }
  };
  std::vector<std::thread> threads;
  for (size_t i = 0; i < workers_ && i + 1 < keys.size(); ++i)
    threads.emplace_back([&] {
      // The client belongs to this thread: made and released here.
      std::unique_ptr<TCryptoToken> client;
      try {
        client = factory_();
      } catch (const ETokenError&) {
      } catch (const std::bad_alloc&) {
      }
      if (client) work(*client);
    });
  work(token);
  for (std::thread& t : threads) t.join();
  if (outOfMemory) throw std::bad_alloc();
}
