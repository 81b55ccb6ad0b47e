#pragma once
// The automation object of one seal of the setup: every seal operation through
// RunAction, the text of its last failure, and getters over what the last completed
// operations left in the seal.

#include <memory>
#include <string>

#include "actions.h"
#include "connection_points.h"
#include "reader_options.h"
#include "seal.h"
#include "zarn.h"

class TTreeNode;

class TZarnReaderSeal final : private ComObjectRoot,
    public DispatchImpl<IZarnReaderSeal>,
    public ConnectionPointContainerImpl {
 public:
  // A seal of the setup: node is its seal node, options where the operators' initials are.
  static ComPtr<TZarnReaderSeal> Create(uint32_t address, TTreeNode* node, const ReaderOptions* options);
  // What the class factory makes for an outside client: no seal, no node; it answers as a removed seal.
  static ComPtr<TZarnReaderSeal> Create();

  // The seal node went: from now on every method fails with the removed-seal text.
  void NodeDeleted() { node_ = nullptr; }
  // Its seal node; null once the seal has left the setup.
  TTreeNode* Node() const { return node_; }
  // The seal's command layer, shared with the operations that run on it; empty for none.
  const std::shared_ptr<TSeal>& NativeSeal() const { return seal_; }
  // The address or, for "Any Seal", the sender of the last reply; 0 without a seal.
  uint32_t SerialNumber() const;
  bool LoggedOn() const { return seal_ && seal_->LoggedOn(); }
  // Why the seal's last key-set is not in the key database; empty when it is.
  std::string KeysetAlert() const;

  HRESULT QueryInterface(REFIID iid, void** object) override;
  COM_REFCOUNT_METHODS

  HRESULT get_SerialNumber(uint32_t* Value) override;
  HRESULT Logon() override;
  HRESULT Logoff() override;
  HRESULT Readout(int32_t SealEventsToRead, int32_t SystemEventsToRead, int32_t SoHRecordsToRead) override;
  HRESULT GetStatus() override;
  HRESULT GetChallenge() override;
  HRESULT get_LoggedOn(bool* Value) override;
  HRESULT GetLogInfo() override;
  HRESULT get_SealEvents(int32_t* Value) override;
  HRESULT get_SystemEvents(int32_t* Value) override;
  HRESULT get_SoHRecords(int32_t* Value) override;
  HRESULT get_KeysetNumber(Bstr* Value) override;
  HRESULT get_KeysetDate(Bstr* Value) override;
  HRESULT get_KeysetTime(Bstr* Value) override;
  HRESULT get_Firmware(Bstr* Value) override;
  HRESULT WritePad(const Bstr& Text) override;
  HRESULT ReadPad(Bstr* Text) override;
  HRESULT CreateKeyset(uint32_t Option) override;
  HRESULT Synchronize() override;
  HRESULT ClearPad() override;
  HRESULT get_Deviation(int32_t* Value) override;
  HRESULT get_Error(Bstr* Value) override;
  HRESULT get_Reason(Bstr* Value) override;
  HRESULT get_Address(uint32_t* Value) override;
  HRESULT EraseKeyset() override;
  HRESULT get_NativeObject(void** Value) override;
  HRESULT get_ExStatusFlags(int32_t* Value) override;

 protected:
  const InterfaceInfo& TypeInformation() const override { return ZarnReaderSealInterfaceInfo(); }
  HRESULT InvokeMember(const MemberInfo& member, std::vector<Variant>& args, Variant& result) override {
    return InvokeZarnReaderSeal(*this, member, args, result);
  }

 private:
  TZarnReaderSeal(uint32_t address, TTreeNode* node, const ReaderOptions* options);
  // The frame every method shares: Error and Reason say why it failed.
  HRESULT Run(TThreadProcedure procedure, const char* failure, TActionParams& record);
  HRESULT Run(TThreadProcedure procedure, const char* failure);
  // Reads the seal's fields into value; E_FAIL without a seal.
  template <class T, class ReadField>
  HRESULT Read(T* value, ReadField read) const;

  const uint32_t address_;
  TTreeNode* node_;
  const ReaderOptions* const options_;
  const std::shared_ptr<TSeal> seal_;
  std::string error_;   // UTF-8
  std::string reason_;  // UTF-8
};

// The text of every method of a seal that has left the setup.
inline constexpr const char* SealRemovedText = "The seal has been removed from the setup.";
