// The token's replies to each command, through a pseudo-terminal as the token's serial
// port: a responder on the other end answers every request frame with the input's next
// reply. Each reply is followed by a frame without the reply marker, so a reply that
// never completes a frame ends the read at once instead of after a time-out.
//   the input: replies, each behind its length byte, in the order of the commands below
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "pseudo_terminal.h"
#include "token.h"

namespace {

constexpr unsigned Port = 7;
constexpr uint8_t NotAReply[] = {TokenFrameStart, 0, 0, TokenFrameEnd};

class Responder {
 public:
  Responder() : thread_([this] { Run(); }) {}

  void Answer(std::deque<std::vector<uint8_t>> replies) {
    std::lock_guard lock(mutex_);
    replies_ = std::move(replies);
  }
  const std::string& Path() const { return pty_.Path(); }

 private:
  void Run() {
    for (;;) {
      auto b = pty_.ReadByte(std::chrono::seconds(10));
      if (!b || *b != TokenFrameEnd) continue;
      std::vector<uint8_t> reply;
      {
        std::lock_guard lock(mutex_);
        if (!replies_.empty()) {
          reply = std::move(replies_.front());
          replies_.pop_front();
        }
      }
      reply.insert(reply.end(), std::begin(NotAReply), std::end(NotAReply));
      pty_.Write(reply);
    }
  }

  sim::PseudoTerminal pty_;
  std::mutex mutex_;
  std::deque<std::vector<uint8_t>> replies_;
  std::thread thread_;
};

struct Line {
  Responder responder;
  sim::ScopedPortMap map{{{Port, responder.Path(), true}}};
};

void CheckTable(const CToken& token) {
  const int count = token.Count(), capacity = token.Capacity();
  if (count < 0 || count > MaxKeysets || capacity > MaxKeysets || int(token.Keysets().size()) != count) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Line* line = new Line;
  std::deque<std::vector<uint8_t>> replies;
  for (size_t at = 0; at < size;) {
    const size_t n = std::min<size_t>(data[at], size - at - 1);
    replies.emplace_back(data + at + 1, data + at + 1 + n);
    at += 1 + n;
  }
  line->responder.Answer(std::move(replies));

  // Long enough for the responder's thread to wake, never waited for by a whole input.
  const TokenTimings timings{1000, 200, 200};
  CToken token(Port, timings);
  token.Port().SetTimeouts(timings.commandTimeout);
  TokenStatus s = 0;
  // A token that answers with serial number 0 stays unidentified: each Ping takes its
  // serial number again, as the first one does.
  token.Ping(&s);
  token.ReadKeysets(&s);
  CheckTable(token);
  uint8_t block[MaxReplyData] = {}, salt[8], response[16];
  token.SelectKeyset(0, &s);
  token.Decrypt(0, block, 8, &s);
  token.Encrypt(3, block, 16, &s);
  token.Decrypt(1, block, MaxReplyData, &s);
  token.GetSalt(salt, &s);
  uint8_t record[KeysetRecordSize] = {1, 2, 3};
  token.StoreKeyset(record, &s);
  CheckTable(token);
  token.AuthenticateFirmware(record, response, &s);
  token.Ping(&s);
  for (const KeysetInfo& entry : token.Keysets()) {
    uint16_t index = 0xFFFF;
    token.FindKeyset(entry.KeysetNumber, entry.KeysetTime, -1, index);
    if (index >= token.Count()) std::abort();
  }
  return 0;
}
