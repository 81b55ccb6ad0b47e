#include "page_checker.h"

#include <algorithm>
#include <atomic>

struct TPageChecker::Job {
  const uint8_t* pages;
  size_t count;
  uint8_t* values;
  SealErrorCode* verdicts;
  std::atomic<size_t> next{0};
};

TPageChecker::TPageChecker(Factory factory, unsigned workers) : factory_(std::move(factory)), workers_(workers) {}

TPageChecker::~TPageChecker() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void TPageChecker::Check(TCryptoToken& token, bool mode16, const uint8_t* pages, size_t count,
                         SealErrorCode* verdicts) {
  if (mode16) return token.CheckPageSignatures16(pages, count, verdicts);
  std::vector<uint8_t> values(8 * count);
  std::fill(verdicts, verdicts + count, 0);
  Job job{pages, count, values.data(), verdicts};
  if (count > 1) {
    if (threads_.empty())
      for (unsigned i = 0; i < workers_; ++i) threads_.emplace_back([this] { Work(); });
    {
      std::lock_guard lock(mutex_);
      job_ = &job;
      ++generation_;
    }
    wake_.notify_all();
  }
  Hash(token, job);
  {
    std::unique_lock lock(mutex_);
    job_ = nullptr;  // a worker that wakes from now on finds nothing to do
    idle_.wait(lock, [this] { return busy_ == 0; });
  }
  token.CheckPageSignatureHashes(pages, values.data(), count, verdicts);
}

void TPageChecker::Hash(TCryptoToken& token, Job& job) {
  for (size_t i; (i = job.next++) < job.count;)
    if (!token.PageSignatureHash(job.pages + 64 * i, job.values + 8 * i)) job.verdicts[i] = SealError::CryptoTokenError;
}

void TPageChecker::Work() {
  // The client belongs to this thread: made and released here.
  std::unique_ptr<TCryptoToken> token;
  try {
    token = factory_();
  } catch (const ETokenError&) {
  }
  uint64_t seen = 0;
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return stop_ || generation_ != seen; });
    if (stop_) break;
    seen = generation_;
    Job* job = job_;
    if (!job || !token) continue;
    ++busy_;
    lock.unlock();
    Hash(*token, *job);
    lock.lock();
    if (--busy_ == 0) idle_.notify_all();
  }
  lock.unlock();
  token.reset();
}
