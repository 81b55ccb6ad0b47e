#include "tree_node.h"

#include "images.h"

TTreeNode::TTreeNode(QTreeWidget* tree, const QString& text, int image) : QTreeWidgetItem(tree), image_(image) {
  setText(0, text);
  UpdateIcon();
}

TTreeNode::TTreeNode(TTreeNode* parent, const QString& text, int image) : QTreeWidgetItem(parent), image_(image) {
  setText(0, text);
  UpdateIcon();
}

TTreeNode::~TTreeNode() {
  if (seal) seal->NodeDeleted();
  if (group) group->NodeDeleted();
  // Out of the tree while still whole: the view moves its current item when a row goes,
  // and the slots it calls read this node and its siblings as nodes.
  if (QTreeWidgetItem* parentItem = parent())
    parentItem->removeChild(this);
  else if (QTreeWidget* tree = treeWidget())
    tree->takeTopLevelItem(tree->indexOfTopLevelItem(this));
}

void TTreeNode::SetStateIndex(int state) {
  state_ = state;
  UpdateIcon();
}

void TTreeNode::UpdateIcon() { setIcon(0, ReaderImages::NodeIcon(image_, state_)); }
