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

void TTreeNode::SetStateIndex(int state) {
  state_ = state;
  UpdateIcon();
}

void TTreeNode::UpdateIcon() { setIcon(0, ReaderImages::NodeIcon(image_, state_)); }
