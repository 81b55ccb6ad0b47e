#pragma once
// The crypto side of opening a seal data file: each key-set's records decrypted and its
// log pages' signatures checked through the crypto service. Key-sets are independent, so
// several are decoded at once, each whole on one thread with a crypto service client of
// its own; the service still checks every page. The views are built afterwards, in order.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "seal.h"
#include "token.h"

// The records of one key-set as the file holds them (the hex texts read as HexToBytes
// reads them), then what decoding made of them.
struct TKeyRecords {
  uint32_t number = 0;
  TSealTime time = 0;
  std::vector<std::array<uint8_t, LogPageSize>> pages;
  // A pad: its byte count (half its hex digits) and its bytes, padded with zeros to whole pages.
  struct Pad {
    size_t size = 0;
    std::vector<uint8_t> bytes;
  };
  std::vector<Pad> pads;
  std::vector<std::array<uint8_t, StatusRecordSize>> status;

  // Decoded: pages (all or none), then the pads and status records up to the first one
  // the service could not decrypt. Decrypted in place; each page has its verdict.
  bool pagesDecoded = false;
  std::vector<SealErrorCode> verdicts;
  size_t padsDecoded = 0, statusDecoded = 0;
};

class TKeyDecoder {
 public:
  using Factory = std::function<std::unique_ptr<TCryptoToken>()>;

  // Up to workers threads beside the caller's; a worker whose client cannot be made
  // decodes nothing and leaves its share to the others.
  TKeyDecoder(Factory factory, unsigned workers) : factory_(std::move(factory)), workers_(workers) {}

  // Decodes every key-set, the caller's thread with token.
  void Decode(TCryptoToken& token, std::vector<TKeyRecords>& keys) const;
  // One key-set, with token.
  static void Decode(TCryptoToken& token, TKeyRecords& key);

 private:
  Factory factory_;
  const unsigned workers_;
};
