#include "actions.h"

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <cstring>
#include <functional>
#include <system_error>
#include <thread>

#include "date_time.h"
#include "main_window_messages.h"
#include "token.h"

std::atomic<bool> ActionBusy{false};
std::atomic<bool> ActionCanceled{false};

namespace {

constexpr int WaitStepMs = 100;
// A single wait covers at most this many threads.
constexpr size_t MaxWaitObjects = 64;

TActionHost host;
// The operation whose progress the bar shows; a worker tags its requests with its own.
std::atomic<unsigned> currentOperation{0};
thread_local unsigned threadOperation = 0;

uint32_t Get32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
uint16_t Get16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

// Hands a change of the bar to the window thread.
void Progress(std::function<void(QProgressBar&)> change) {
  QProgressBar* bar = host.ProgressBar;
  if (!bar) return;
  const unsigned operation = threadOperation;
  QMetaObject::invokeMethod(
      bar, [bar, operation, change = std::move(change)] {
        if (operation == currentOperation) change(*bar);
      },
      Qt::QueuedConnection);
}
void SetPosition(int position) {
  Progress([position](QProgressBar& bar) { bar.setValue(position); });
}
void SetMaximum(int maximum) {
  Progress([maximum](QProgressBar& bar) { bar.setMaximum(maximum); });
}
void RaiseMaximum(int by) {
  Progress([by](QProgressBar& bar) { bar.setMaximum(bar.maximum() + by); });
}
void StepIt() {
  Progress([](QProgressBar& bar) { bar.setValue(std::min(bar.value() + 1, bar.maximum())); });
}

// The window thread's side of an operation, from its start to the end of its wait.
class OperationScope {
 public:
  OperationScope() {
    ActionBusy = true;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    ActionCanceled = false;
    operation_ = ++currentOperation;
    if (host.ProgressBar) {
      host.ProgressBar->setValue(0);
      host.ProgressBar->show();
    }
  }
  ~OperationScope() {
    if (host.ProgressBar) host.ProgressBar->hide();
    QApplication::restoreOverrideCursor();
    ActionBusy = false;
    if (host.OperationEnded) host.OperationEnded();
  }
  unsigned Operation() const { return operation_; }

 private:
  unsigned operation_;
};

// Runs the procedures on their threads and waits for them in steps while the window
// thread handles its events. A record whose thread cannot start gets an error code.
void RunThreads(TThreadProcedure procedure, const std::vector<TActionParams*>& params, unsigned operation) {
  std::atomic<size_t> running{0};
  QEventLoop loop;
  std::vector<std::thread> threads;
  threads.reserve(params.size());
  for (TActionParams* p : params) {
    ++running;
    try {
      threads.emplace_back([&, p] {
        threadOperation = operation;
        procedure(*p);
        if (--running == 0) QMetaObject::invokeMethod(&loop, [&loop] { loop.quit(); }, Qt::QueuedConnection);
      });
    } catch (const std::system_error&) {
      --running;
      p->Result = SealError::TransmitError;  // nothing was sent
    }
  }
  QTimer step;
  QObject::connect(&step, &QTimer::timeout, &loop, [&] {
    if (running == 0) loop.quit();
  });
  step.start(WaitStepMs);
  while (running > 0) loop.exec();
  // Groups of at most 64 in one wait, as the system waits for its threads.
  for (size_t first = 0; first < threads.size(); first += MaxWaitObjects)
    for (size_t i = first; i < std::min(threads.size(), first + MaxWaitObjects); ++i) threads[i].join();
}

// The common frame: the thread's own crypto client (unless the operation needs none)
// and the port opened with the progress handlers. False when the procedure ends here.
struct Frame {
  TActionParams& p;
  std::unique_ptr<TCryptoToken> token;
  bool open = false;

  Frame(TActionParams& params, bool withClient) : p(params) {
    if (withClient) {
      try {
        token = std::make_unique<TCryptoToken>();
      } catch (const ETokenError&) {
        p.Result = SealError::CryptoTokenError;
        return;
      }
    }
    SetPosition(0);
    SetMaximum(2);
    p.Result = p.Port->Open(SendProgress, ReceiveProgress);
    open = p.Result == 0;
    if (!open) token.reset();
  }
  // Closes the port and frees the client, before the document step.
  void Close() {
    if (open) p.Port->Close();
    open = false;
    token.reset();
  }
  ~Frame() { Close(); }
};

// The three page bytes of each log in the log-info record: current, highest, lowest.
struct LogPages {
  int current, highest, lowest;
};
constexpr LogPages SealEventPages{7, 5, 4}, SystemEventPages{15, 13, 12}, HealthPages{21, 19, 18};
constexpr int PadPagesOffset = 22;

bool SelectDocumentKeyset(const TSeal& seal) {
  const TSealFields f = seal.Snapshot();
  return host.Document && host.Document->SelectKeyset(SealSerialNumber(seal), f.keysetNumber, f.keysetTime);
}

uint32_t PadCapacity(unsigned pages) { return pages == 0 ? 0 : pages * PadPageSize - 2; }

}  // namespace

void SetActionHost(const TActionHost& newHost) { host = newHost; }

uint32_t SealSerialNumber(const TSeal& seal) {
  const uint32_t address = seal.Address();
  return address != 0 ? address : seal.LastReplySerial();
}

bool RunAction(TThreadProcedure procedure, TActionParams& params) {
  if (ActionBusy) return false;
  OperationScope scope;
  RunThreads(procedure, {&params}, scope.Operation());
  return params.Result == 0;
}

bool RunActionOnAll(TThreadProcedure procedure, std::vector<TActionParams*>& params) {
  if (ActionBusy) return false;
  OperationScope scope;
  RunThreads(procedure, params, scope.Operation());
  return true;
}

void SendProgress(TPort*) { StepIt(); }
void ReceiveProgress(TPort*) { StepIt(); }

void ChallengeThread(TActionParams& p) {
  Frame frame(p, false);
  if (frame.open) p.Result = p.Seal->Initialize(*p.Port);
}

void LogonThread(TActionParams& p) {
  Frame frame(p, true);
  if (frame.open) p.Result = p.Seal->Logon(*p.Port, *frame.token, p.Operator1ID, p.Operator2ID);
}

void LogoffThread(TActionParams& p) {
  Frame frame(p, true);
  if (frame.open) p.Result = p.Seal->Logoff(*p.Port, *frame.token);
}

void LogInfoThread(TActionParams& p) {
  Frame frame(p, true);
  if (frame.open) p.Result = p.Seal->GetLogInfo(*p.Port, *frame.token);
}

void StatusThread(TActionParams& p) {
  Frame frame(p, true);
  if (!frame.open) return;
  uint8_t raw[StatusRecordSize], plain[StatusRecordSize];
  p.Result = p.Seal->GetStatus(*p.Port, *frame.token, raw, plain);
  frame.Close();
  if (p.Result == 0 && !(SelectDocumentKeyset(*p.Seal) && host.Document->AddStatus(raw, plain)))
    p.Result = SealError::XmlDocumentError;
}

void WritePadThread(TActionParams& p) {
  Frame frame(p, true);
  if (!frame.open) return;
  uint8_t info[LogInfoSize];
  p.Result = p.Seal->GetLogInfo(*p.Port, *frame.token, info);
  if (ActionCanceled || p.Result != 0) return;
  const unsigned pages = info[PadPagesOffset];
  const std::string& text = *p.PadText;
  // A seal without pad pages refuses every text, the empty one too.
  if (pages == 0 || text.size() > PadCapacity(pages)) {
    p.Result = SealError::InvalidSize;
    return;
  }
  std::vector<uint8_t> data(pages * PadPageSize, 0);
  data[0] = uint8_t(text.size());
  data[1] = uint8_t(text.size() >> 8);
  std::memcpy(data.data() + 2, text.data(), text.size());
  RaiseMaximum(int(pages * 2));
  // Once the first page is written every page is: a pad cut short would keep old
  // pages under the new length.
  for (unsigned i = 0; i < pages; ++i) {
    p.Result = p.Seal->WritePadPage(*p.Port, *frame.token, uint8_t(i), data.data() + i * PadPageSize);
    if (p.Result != 0) return;
  }
  frame.Close();
  if (!(SelectDocumentKeyset(*p.Seal) && host.Document->AddPad(data.data(), pages - 1, text)))
    p.Result = SealError::XmlDocumentError;
}

void ReadPadThread(TActionParams& p) {
  Frame frame(p, true);
  if (!frame.open) return;
  uint8_t info[LogInfoSize];
  p.Result = p.Seal->GetLogInfo(*p.Port, *frame.token, info);
  if (ActionCanceled || p.Result != 0) return;
  const unsigned pages = info[PadPagesOffset];
  RaiseMaximum(int(pages * 2));
  std::vector<uint8_t> plain(pages * PadPageSize), raw(pages * PadPageSize);
  for (unsigned i = 0; i < pages; ++i) {
    p.Result = p.Seal->ReadPadPage(*p.Port, *frame.token, uint8_t(i), raw.data() + i * PadPageSize,
                                   plain.data() + i * PadPageSize);
    if (ActionCanceled || p.Result != 0) return;
  }
  frame.Close();
  // A seal without pad pages has the empty text.
  const uint32_t length = pages == 0 ? 0 : std::min<uint32_t>(Get16(plain.data()), PadCapacity(pages));
  *p.PadText = length == 0 ? std::string() : std::string(reinterpret_cast<const char*>(plain.data()) + 2, length);
  if (pages == 0) return;
  if (!(SelectDocumentKeyset(*p.Seal) && host.Document->AddPad(raw.data(), pages - 1, *p.PadText)))
    p.Result = SealError::XmlDocumentError;
}

void ClearPadThread(TActionParams& p) {
  Frame frame(p, true);
  if (!frame.open) return;
  uint8_t info[LogInfoSize];
  p.Result = p.Seal->GetLogInfo(*p.Port, *frame.token, info);
  if (ActionCanceled || p.Result != 0) return;
  const unsigned pages = info[PadPagesOffset];
  RaiseMaximum(int(pages * 2));
  for (unsigned i = 0; i < pages; ++i) {
    uint8_t zeros[PadPageSize] = {};
    p.Result = p.Seal->WritePadPage(*p.Port, *frame.token, uint8_t(i), zeros);
    if (ActionCanceled || p.Result != 0) return;
  }
}

void SynchronizeThread(TActionParams& p) {
  Frame frame(p, true);
  if (frame.open) p.Result = p.Seal->SetTime(*p.Port, *frame.token, platform::Now());
}

void CreateKeysetThread(TActionParams& p) {
  Frame frame(p, true);
  if (frame.open) p.Result = p.Seal->CreateKeyset(*p.Port, *frame.token, uint8_t(p.Option));
}

void EraseKeysetThread(TActionParams& p) {
  Frame frame(p, false);
  if (frame.open) p.Result = p.Seal->EraseKeyset(*p.Port);
}

void LogoffAllThread(TActionParams& p) {
  std::unique_ptr<TCryptoToken> token;
  try {
    token = std::make_unique<TCryptoToken>();
  } catch (const ETokenError&) {
    p.Result = SealError::CryptoTokenError;
    return;
  }
  if (p.Port->Open(SendProgress, ReceiveProgress) != 0) {
    p.Result = SealError::LogoffAllFailed;
    return;
  }
  bool failed = false;
  for (const auto& seal : p.Seals) failed |= seal->Logoff(*p.Port, *token) != 0;
  p.Port->Close();
  p.Result = failed ? SealError::LogoffAllFailed : 0;
}

void FindSealsThread(TActionParams& p) {
  constexpr unsigned MaxFound = 32;
  constexpr int Rounds = 3;
  SetMaximum(4);
  SetPosition(1);
  p.Result = p.Port->Open(nullptr, nullptr);
  if (p.Result != 0) return;
  // 'I', then 0 and 0xFFFFFFFF, then the serial numbers found so far: a listed seal stays quiet.
  uint8_t request[MaxFramePayload] = {'I', 0};
  Put32(request + 6, 0xFFFFFFFF);
  uint32_t found[MaxFound] = {};
  unsigned count = 0;
  auto finish = [&] {
    p.Port->Close();
    std::memcpy(p.FoundSeals, found, sizeof found);
  };
  for (int rounds = Rounds;;) {
    p.Port->Purge();
    // Nothing of a search cut short is merged; a failed send is the port's failure.
    if (!ActionCanceled) p.Result = p.Port->SendFrame(0, request, sizeof request);
    if (ActionCanceled || p.Result != 0) {
      p.Port->Close();
      return;
    }
    for (;;) {
      uint32_t sender = 0;
      uint8_t payload[MaxFramePayload];
      uint16_t n = 0;
      const SealErrorCode e = p.Port->ReceiveFrame(sender, payload, n);
      if (e == 0) {
        // 0 is nobody's serial number, and would end the list for the merge.
        if (sender == 0) continue;
        found[count] = sender;
        Put32(request + 10 + 4 * count, sender);
        PostMessage(FindWindow(MainWindowClass), WM_SEALFOUND, 0, LPARAM(sender));
        RaiseMaximum(1);
        StepIt();
        rounds = Rounds;
        if (++count == MaxFound) return finish();
      } else if (e == SealError::CrcError || e == SealError::InvalidSize) {
        rounds = Rounds;
      } else if (--rounds != 0) {
        break;  // the next round asks again with the list so far
      } else {
        return finish();
      }
    }
  }
}

void ReadoutThread(TActionParams& p) {
  std::unique_ptr<TCryptoToken> token;
  try {
    token = std::make_unique<TCryptoToken>();
  } catch (const ETokenError&) {
    p.Result = SealError::CryptoTokenError;
    return;
  }
  if (!SelectDocumentKeyset(*p.Seal)) {
    p.Result = SealError::XmlDocumentError;
    return;
  }
  p.Result = p.Port->Open(SendProgress, ReceiveProgress);
  if (p.Result != 0) return;
  SetPosition(0);
  SetMaximum(2);
  uint8_t info[LogInfoSize];
  p.Result = p.Seal->GetLogInfo(*p.Port, *token, info);
  if (!ActionCanceled && p.Result == 0) {
    const uint32_t sealPages = PagesToRead(Get32(info + 0), uint32_t(p.SealEventsToRead), 12);
    const uint32_t systemPages = PagesToRead(Get32(info + 8), uint32_t(p.SystemEventsToRead), 8);
    const uint32_t healthPages =
        p.SoHRecordsToRead == 0 ? 0 : PagesToRead(Get16(info + 16), uint32_t(p.SoHRecordsToRead), 6);
    RaiseMaximum(int((sealPages + systemPages + healthPages) * 2));
    const std::pair<LogPages, uint32_t> logs[] = {
        {SealEventPages, sealPages}, {SystemEventPages, systemPages}, {HealthPages, healthPages}};
    for (size_t i = 0; i < 3; ++i) {
      if (i > 0 && (ActionCanceled || p.Result != 0)) break;
      const LogPages& at = logs[i].first;
      p.Result = ReadLogPages(*p.Seal, *p.Port, *token, info[at.current], info[at.highest], info[at.lowest],
                              logs[i].second);
    }
  }
  p.Port->Close();
}

uint32_t PagesToRead(uint32_t a, uint32_t b, uint32_t c) {
  if (a < b) b = a;
  if (b == 0) return 1;
  const uint32_t r = a - b;
  uint32_t d;
  if (r == 0) {
    d = c;
  } else {
    d = r % c;
    if (d != 0) d = c - d;
  }
  if (b <= d) return 1;
  b -= d;
  uint32_t e = a % c;
  if (e == 0) e = c;
  if (b <= e) return 2;
  return 2 + (b - e) / c;
}

SealErrorCode ReadLogPages(TSeal& seal, TPort& port, TCryptoToken& token, uint8_t current, uint8_t highest,
                           uint8_t lowest, uint32_t count) {
  SealErrorCode result = 0;
  uint8_t raw[LogPageSize], plain[LogPageSize];
  std::string authenticity;
  auto readOne = [&](unsigned page) {
    result = seal.ReadLogPage(port, token, uint8_t(page), raw, plain, authenticity);
    if (result != 0) return false;
    // A page that came whole is kept, also when the cancel came while it was on its way.
    StoreEventPage(plain, raw, authenticity);
    --count;
    return !ActionCanceled;
  };
  for (int page = current; count > 0 && page >= lowest; --page)
    if (!readOne(unsigned(page))) return result;
  for (int page = highest; count > 0 && page > current; --page)
    if (!readOne(unsigned(page))) return result;
  return result;
}

void StoreEventPage(const uint8_t plain[LogPageSize], const uint8_t raw[LogPageSize],
                    const std::string& authenticity) {
  if (host.Document) host.Document->AddLogPage(raw, plain, authenticity);
}
