#pragma once
// Seal operations on worker threads. RunAction runs one thread procedure for one record
// while the window thread waits and keeps handling its events (painting, Cancel, page
// script); RunActionOnAll runs one thread per record. A thread never touches the window:
// its progress reaches the bar as queued calls, tagged with the operation they belong
// to, so that a late step of an ended operation never moves the next one's bar.

#include <QProgressBar>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dom.h"
#include "port.h"
#include "seal.h"

// The record handed to a thread procedure; the caller owns it and reads it after the wait.
// The seal and port are shared so that removing their nodes meanwhile keeps them valid.
struct TActionParams {
  std::shared_ptr<TSeal> Seal;  // empty for finding seals and logging off all
  std::shared_ptr<TPort> Port;
  uint32_t Option = 0;          // create key-set
  SealErrorCode Result = 0;     // written by the thread

  // Logon.
  uint16_t Operator1ID = 0;
  uint16_t Operator2ID = 0;
  // Read-out: wanted entries of each log.
  int32_t SealEventsToRead = 0;
  int32_t SystemEventsToRead = 0;
  int32_t SoHRecordsToRead = 0;
  // Write pad reads it, read pad writes it (single-byte text).
  std::string* PadText = nullptr;
  // Find seals: serial numbers in the order found, 0 in unused slots.
  uint32_t FoundSeals[32] = {};
  // Log off all: the logged-on seals of one port.
  std::vector<std::shared_ptr<TSeal>> Seals;
};

using TThreadProcedure = void (*)(TActionParams& params);

// A second operation is refused while one runs; a running one stops at its next page.
extern std::atomic<bool> ActionBusy;
extern std::atomic<bool> ActionCanceled;

// What the operations use of the program: the one seal data document and the status
// bar's progress bar. Set by the main window before any operation runs.
struct TActionHost {
  TZarnDocument* Document = nullptr;
  QProgressBar* ProgressBar = nullptr;
  // On the window thread, once an operation's wait has ended.
  std::function<void()> OperationEnded;
};
void SetActionHost(const TActionHost& host);

// False at once, with the record untouched, while an operation runs; else true exactly
// when the record's Result is 0 after the thread has ended.
bool RunAction(TThreadProcedure procedure, TActionParams& params);
// One thread per record, all waited for; false at once while an operation runs.
bool RunActionOnAll(TThreadProcedure procedure, std::vector<TActionParams*>& params);

// The port's progress handlers: one step of the bar per frame sent or good frame received.
void SendProgress(TPort* sender);
void ReceiveProgress(TPort* sender);

void ChallengeThread(TActionParams& params);
void LogonThread(TActionParams& params);
void LogoffThread(TActionParams& params);
void LogInfoThread(TActionParams& params);
void StatusThread(TActionParams& params);
void WritePadThread(TActionParams& params);
void ReadPadThread(TActionParams& params);
void ClearPadThread(TActionParams& params);
void SynchronizeThread(TActionParams& params);
void ReadoutThread(TActionParams& params);
void CreateKeysetThread(TActionParams& params);
void EraseKeysetThread(TActionParams& params);
// Logs off every seal of the record's list on its port, going on after a failure.
void LogoffAllThread(TActionParams& params);
// Asks every seal on the record's port to answer a broadcast until three rounds in a row
// bring nothing or 32 seals have answered; their serial numbers go to FoundSeals. A port
// that does not open or a failed send sets Result; either, or a cancel, leaves FoundSeals empty.
void FindSealsThread(TActionParams& params);

// The number of log pages to read for the wanted newest entries of a log.
uint32_t PagesToRead(uint32_t total, uint32_t wanted, uint32_t perPage);
// Reads up to count pages of one log, newest first, handing each to the document.
SealErrorCode ReadLogPages(TSeal& seal, TPort& port, TCryptoToken& token, uint8_t current, uint8_t highest,
                           uint8_t lowest, uint32_t count);
void StoreEventPage(const uint8_t plain[LogPageSize], const uint8_t raw[LogPageSize],
                    const std::string& authenticity);

// The serial number the document files a seal's records under: its address, or for
// "Any Seal" the sender of its last reply.
uint32_t SealSerialNumber(const TSeal& seal);
