#include "iseal.h"

#include "cp1252.h"
#include "initials.h"
#include "tree_node.h"

namespace {

uint32_t Get32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
uint16_t Get16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

// Single-byte text of the system to a string of the component model, and back.
Bstr FromSingleByte(const std::string& text) { return Bstr::FromUtf8(platform::Cp1252ToUtf8(text)); }
std::string ToSingleByte(const Bstr& text) { return platform::Utf8ToCp1252(text.Utf8()); }

uint16_t OperatorId(const QString& initials) { return InitialsToUserId(platform::Utf8ToCp1252(initials.toStdString())); }

}  // namespace

TZarnReaderSeal::TZarnReaderSeal(uint32_t address, TTreeNode* node, const ReaderOptions* options)
    : ConnectionPointContainerImpl(DIID_IZarnReaderSealEvents),
      address_(address),
      node_(node),
      options_(options),
      seal_(node ? std::make_shared<TSeal>(address) : nullptr) {}

ComPtr<TZarnReaderSeal> TZarnReaderSeal::Create(uint32_t address, TTreeNode* node, const ReaderOptions* options) {
  return ComPtr<TZarnReaderSeal>(new TZarnReaderSeal(address, node, options));
}

ComPtr<TZarnReaderSeal> TZarnReaderSeal::Create() { return Create(0, nullptr, nullptr); }

HRESULT TZarnReaderSeal::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IZarnReaderSeal)
    *object = static_cast<IZarnReaderSeal*>(this);
  else if (iid == IID_IConnectionPointContainer)
    *object = static_cast<IConnectionPointContainer*>(this);
  else
    return E_NOINTERFACE;
  AddRef();
  return S_OK;
}

uint32_t TZarnReaderSeal::SerialNumber() const { return seal_ ? SealSerialNumber(*seal_) : 0; }

std::string TZarnReaderSeal::KeysetAlert() const { return seal_ ? seal_->Snapshot().keysetAlert : std::string(); }

// ---- methods ----

HRESULT TZarnReaderSeal::Run(TThreadProcedure procedure, const char* failure, TActionParams& record) {
  // The node, and with it the last other reference, may go while the operation's wait
  // runs; the record keeps the seal itself for the worker.
  ComPtr<TZarnReaderSeal> self(this);
  error_.clear();
  reason_.clear();
  try {
    record.Seal = seal_;
    record.Result = 0;
    if (!node_ || !seal_ || !node_->ParentNode()) {
      error_ = SealRemovedText;
      return E_FAIL;
    }
    record.Port = node_->ParentNode()->port;
    if (RunAction(procedure, record)) return S_OK;
    error_ = failure;
    // A call refused because another operation runs leaves the record's Result at 0: no reason.
    if (record.Result == 0) return E_FAIL;
    reason_ = platform::Cp1252ToUtf8(ErrorMessage(record.Result, seal_->RefusalReason()));
    return E_FAIL;
  } catch (...) {
    return E_FAIL;
  }
}

HRESULT TZarnReaderSeal::Run(TThreadProcedure procedure, const char* failure) {
  TActionParams record;
  return Run(procedure, failure, record);
}

HRESULT TZarnReaderSeal::Logon() {
  TActionParams record;
  if (options_) {
    record.Operator1ID = OperatorId(options_->operator1);
    record.Operator2ID = OperatorId(options_->operator2);
  }
  return Run(LogonThread, "Logon failed.", record);
}

HRESULT TZarnReaderSeal::Logoff() { return Run(LogoffThread, "Logoff failed."); }

HRESULT TZarnReaderSeal::Readout(int32_t sealEvents, int32_t systemEvents, int32_t sohRecords) {
  TActionParams record;
  record.SealEventsToRead = sealEvents;
  record.SystemEventsToRead = systemEvents;
  record.SoHRecordsToRead = sohRecords;
  return Run(ReadoutThread, "Event log read-out failed.", record);
}

HRESULT TZarnReaderSeal::GetStatus() { return Run(StatusThread, "Get status failed."); }
HRESULT TZarnReaderSeal::GetChallenge() { return Run(ChallengeThread, "Protocol initialization failed."); }
HRESULT TZarnReaderSeal::GetLogInfo() { return Run(LogInfoThread, "Get log info failed."); }

HRESULT TZarnReaderSeal::WritePad(const Bstr& text) {
  std::string pad = ToSingleByte(text);
  TActionParams record;
  record.PadText = &pad;
  return Run(WritePadThread, "Write pad failed.", record);
}

HRESULT TZarnReaderSeal::ReadPad(Bstr* text) {
  if (!text) return E_POINTER;
  std::string pad;
  TActionParams record;
  record.PadText = &pad;
  const HRESULT hr = Run(ReadPadThread, "Read pad failed.", record);
  *text = FromSingleByte(pad);
  return hr;
}

HRESULT TZarnReaderSeal::CreateKeyset(uint32_t option) {
  TActionParams record;
  record.Option = option;
  return Run(CreateKeysetThread, "Create key-set failed.", record);
}

HRESULT TZarnReaderSeal::Synchronize() { return Run(SynchronizeThread, "Time synchronization failed."); }
HRESULT TZarnReaderSeal::ClearPad() { return Run(ClearPadThread, "Clear pad failed."); }
HRESULT TZarnReaderSeal::EraseKeyset() { return Run(EraseKeysetThread, "Erase key-set failed."); }

// ---- getters ----

template <class T, class ReadField>
HRESULT TZarnReaderSeal::Read(T* value, ReadField read) const {
  if (!value) return E_POINTER;
  if (!seal_) return E_FAIL;
  try {
    // A copy taken under the seal's lock: a worker may be writing the fields now.
    *value = read(seal_->Snapshot());
    return S_OK;
  } catch (...) {
    return E_FAIL;
  }
}

HRESULT TZarnReaderSeal::get_SerialNumber(uint32_t* value) {
  return Read(value, [](const TSealFields& f) { return f.address != 0 ? f.address : f.lastReplySerial; });
}

HRESULT TZarnReaderSeal::get_LoggedOn(bool* value) {
  return Read(value, [](const TSealFields& f) { return f.loggedOn; });
}

HRESULT TZarnReaderSeal::get_SealEvents(int32_t* value) {
  return Read(value, [](const TSealFields& f) { return int32_t(Get32(f.logInfo + 0)); });
}

HRESULT TZarnReaderSeal::get_SystemEvents(int32_t* value) {
  return Read(value, [](const TSealFields& f) { return int32_t(Get32(f.logInfo + 8)); });
}

HRESULT TZarnReaderSeal::get_SoHRecords(int32_t* value) {
  return Read(value, [](const TSealFields& f) { return int32_t(Get16(f.logInfo + 16)); });
}

HRESULT TZarnReaderSeal::get_ExStatusFlags(int32_t* value) {
  return Read(value, [](const TSealFields& f) { return int32_t(f.logInfo[23]); });
}

HRESULT TZarnReaderSeal::get_KeysetNumber(Bstr* value) {
  return Read(value, [](const TSealFields& f) {
    return f.keysetNumber == 0 ? Bstr() : FromSingleByte(KeysetNumberToText(f.keysetNumber));
  });
}

HRESULT TZarnReaderSeal::get_KeysetDate(Bstr* value) {
  return Read(value, [](const TSealFields& f) {
    return f.keysetTime == 0 ? Bstr() : FromSingleByte(SealTimeToDateText(f.keysetTime));
  });
}

HRESULT TZarnReaderSeal::get_KeysetTime(Bstr* value) {
  return Read(value, [](const TSealFields& f) {
    return f.keysetTime == 0 ? Bstr() : FromSingleByte(SealTimeToTimeText(f.keysetTime));
  });
}

HRESULT TZarnReaderSeal::get_Firmware(Bstr* value) {
  return Read(value, [](const TSealFields& f) { return FromSingleByte(f.firmware); });
}

HRESULT TZarnReaderSeal::get_Deviation(int32_t* value) {
  return Read(value, [](const TSealFields& f) { return f.clockDeviation; });
}

HRESULT TZarnReaderSeal::get_NativeObject(void** value) {
  if (!value) return E_POINTER;
  *value = seal_.get();
  return seal_ ? S_OK : E_FAIL;
}

HRESULT TZarnReaderSeal::get_Error(Bstr* value) {
  if (!value) return E_POINTER;
  *value = Bstr::FromUtf8(error_);
  return S_OK;
}

HRESULT TZarnReaderSeal::get_Reason(Bstr* value) {
  if (!value) return E_POINTER;
  *value = Bstr::FromUtf8(reason_);
  return S_OK;
}

HRESULT TZarnReaderSeal::get_Address(uint32_t* value) {
  if (!value) return E_POINTER;
  *value = address_;
  return S_OK;
}
