#include <algorithm>

#include "igroup.h"

#include "iseal.h"
#include "tree_node.h"

TZarnReaderSealGroup::TZarnReaderSealGroup(TTreeNode* node)
    : ConnectionPointContainerImpl(DIID_IZarnReaderSealGroupEvents), node_(node) {}

ComPtr<TZarnReaderSealGroup> TZarnReaderSealGroup::Create(TTreeNode* node) {
  return ComPtr<TZarnReaderSealGroup>(new TZarnReaderSealGroup(node));
}

void TZarnReaderSealGroup::NodeDeleted() {
  if (node_) lastName_ = node_->text(0);
  node_ = nullptr;
}

HRESULT TZarnReaderSealGroup::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IZarnReaderSealGroup)
    *object = static_cast<IZarnReaderSealGroup*>(this);
  else if (iid == IID_IConnectionPointContainer)
    *object = static_cast<IConnectionPointContainer*>(this);
  else
    return E_NOINTERFACE;
  AddRef();
  return S_OK;
}

HRESULT TZarnReaderSealGroup::get_Name(Bstr* value) {
  if (!value) return E_POINTER;
  *value = Bstr::FromUtf8((node_ ? node_->text(0) : lastName_).toStdString());
  return S_OK;
}

HRESULT TZarnReaderSealGroup::get_Count(int32_t* value) {
  if (!value) return E_POINTER;
  if (!node_) return E_FAIL;
  *value = node_->childCount();
  return S_OK;
}

HRESULT TZarnReaderSealGroup::Seal(int32_t index, IDispatch** value) {
  if (!value) return E_POINTER;
  *value = nullptr;
  if (!node_) return E_FAIL;
  // A negative index means the first entry.
  index = std::max(index, 0);
  if (index >= node_->childCount()) return E_FAIL;
  const TTreeNode* sealNode = node_->Child(index)->sealNode;
  if (!sealNode || !sealNode->seal) return E_FAIL;
  return sealNode->seal->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(value));
}
