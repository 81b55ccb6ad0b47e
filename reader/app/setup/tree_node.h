#pragma once
// A node of the reader's setup and group trees. What it holds depends on its image: a
// port node its port, a seal node the seal's command layer, a group entry the setup seal
// node it stands for. Ports and seals are shared so that an operation running on them
// keeps them when the node goes.

#include <QTreeWidgetItem>
#include <cstdint>
#include <memory>

#include "images.h"
#include "port.h"
#include "seal.h"

class TTreeNode : public QTreeWidgetItem {
 public:
  TTreeNode(QTreeWidget* tree, const QString& text, int image);
  TTreeNode(TTreeNode* parent, const QString& text, int image);
  ~TTreeNode() override;

  int ImageIndex() const { return image_; }
  int StateIndex() const { return state_; }
  void SetStateIndex(int state);
  TTreeNode* ParentNode() const { return static_cast<TTreeNode*>(parent()); }
  TTreeNode* Child(int i) const { return static_cast<TTreeNode*>(child(i)); }

  bool IsPort() const { return image_ == ComPortImage || image_ == InterfaceImage; }

  // A port node's port.
  std::shared_ptr<TPort> port;
  // A seal node's address (0 for "Any Seal") and command layer.
  uint32_t address = 0;
  std::shared_ptr<TSeal> seal;
  // A group entry's setup seal node.
  TTreeNode* sealNode = nullptr;

 private:
  void UpdateIcon();
  const int image_;
  int state_ = NoStateImage;
};
