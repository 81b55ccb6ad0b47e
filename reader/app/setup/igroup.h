#pragma once
// The automation object of one group of the group tree: its name and its seals.

#include <QString>

#include "connection_points.h"
#include "zarn.h"

class TTreeNode;

class TZarnReaderSealGroup final : private ComObjectRoot,
    public DispatchImpl<IZarnReaderSealGroup>,
    public ConnectionPointContainerImpl {
 public:
  // A group of the group tree; without a node, what the class factory makes for an outside client.
  static ComPtr<TZarnReaderSealGroup> Create(TTreeNode* node = nullptr);

  // The group node went: Count and Seal fail from now on; Name keeps the last name.
  void NodeDeleted();

  HRESULT QueryInterface(REFIID iid, void** object) override;
  COM_REFCOUNT_METHODS

  HRESULT get_Name(Bstr* Value) override;
  HRESULT get_Count(int32_t* Value) override;
  HRESULT Seal(int32_t Index, IDispatch** Value) override;

 protected:
  const InterfaceInfo& TypeInformation() const override { return ZarnReaderSealGroupInterfaceInfo(); }
  HRESULT InvokeMember(const MemberInfo& member, std::vector<Variant>& args, Variant& result) override {
    return InvokeZarnReaderSealGroup(*this, member, args, result);
  }

 private:
  explicit TZarnReaderSealGroup(TTreeNode* node);

  TTreeNode* node_;
  QString lastName_;
};
