#pragma once
// A node of the reader's setup and group trees. What it holds depends on its image: a
// port node its port, a seal node one reference to its seal object, a group node one to
// its group object, a group entry the setup seal node it stands for. Ports and seals are
// shared so that an operation running on them keeps them when the node goes.

#include <QTreeWidgetItem>
#include <cstdint>
#include <memory>

#include "igroup.h"
#include "images.h"
#include "iseal.h"
#include "port.h"

class TTreeNode : public QTreeWidgetItem {
 public:
  TTreeNode(QTreeWidget* tree, const QString& text, int image);
  TTreeNode(TTreeNode* parent, const QString& text, int image);
  // Leaves its tree whole and tells its seal or group object that the node is gone.
  ~TTreeNode() override;

  int ImageIndex() const { return image_; }
  int StateIndex() const { return state_; }
  void SetStateIndex(int state);
  TTreeNode* ParentNode() const { return static_cast<TTreeNode*>(parent()); }
  TTreeNode* Child(int i) const { return static_cast<TTreeNode*>(child(i)); }

  bool IsPort() const { return image_ == ComPortImage || image_ == InterfaceImage; }

  // A port node's port.
  std::shared_ptr<TPort> port;
  // A seal node's address (0 for "Any Seal") and seal object.
  uint32_t address = 0;
  ComPtr<TZarnReaderSeal> seal;
  // A group node's group object.
  ComPtr<TZarnReaderSealGroup> group;
  // A group entry's setup seal node.
  TTreeNode* sealNode = nullptr;

 private:
  void UpdateIcon();
  const int image_;
  int state_ = NoStateImage;
};
