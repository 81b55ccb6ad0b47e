#pragma once
// Checks the signatures of many log pages with few crypto calls and several of them in
// flight. The service still checks every page. In 16-byte mode three calls check all
// pages; in 8-byte mode each page needs a keyless hash of its own, which worker threads,
// each with a crypto service client of its own, and the caller's thread ask for in turn,
// before one call encrypts all the hashes.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "token.h"

class TPageChecker {
 public:
  using Factory = std::function<std::unique_ptr<TCryptoToken>()>;

  // The workers start with the first check that needs them and end with the checker. A
  // worker whose client cannot be created takes no pages; the caller's thread takes more.
  TPageChecker(Factory factory, unsigned workers);
  ~TPageChecker();
  TPageChecker(const TPageChecker&) = delete;
  TPageChecker& operator=(const TPageChecker&) = delete;

  // verdicts[i] := the signature check of the decrypted 64-byte page i, in 8-byte or
  // 16-byte mode, with the key-set that token has selected: what CheckPageSignature or
  // CheckPageSignature16 gives for the page.
  void Check(TCryptoToken& token, bool mode16, const uint8_t* pages, size_t count, SealErrorCode* verdicts);

 private:
  struct Job;
  void Work();
  static void Hash(TCryptoToken& token, Job& job);

  Factory factory_;
  const unsigned workers_;
  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable wake_, idle_;
  Job* job_ = nullptr;
  uint64_t generation_ = 0;
  unsigned busy_ = 0;
  bool stop_ = false;
};
