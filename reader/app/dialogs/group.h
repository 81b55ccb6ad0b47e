#pragma once
// The group dialog: a group's name and which seals of "All Seals" belong to it. Its OK
// makes or renames the group node and rebuilds the group's entries.

#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>

#include "reader_dialog.h"
#include "tree_node.h"

// True when the group has an entry of exactly that caption.
bool GroupHasSeal(const QString& caption, const TTreeNode* group);
// Moves the item, with its caption, pictures and seal, into the other list.
void MoveListItem(TTreeNode* item, QTreeWidget* other);

class TGroupForm : public TReaderDialog {
  Q_OBJECT

 public:
  explicit TGroupForm(QWidget* mainWindow);

  // With a group node: its properties; with none: a new group. True when OK closed the
  // dialog, groupNode then being the group's node.
  bool Execute(TTreeNode* allSealsNode, TTreeNode*& groupNode);
  // True, after telling the operator, when a group of that name (letters a to z
  // compared as capitals) is in the group tree.
  bool GroupNameExists(const QString& name, const QTreeWidget* groupTree);

  QLineEdit* NameEdit;
  QTreeWidget* ListViewNotSelected;
  QTreeWidget* ListViewSelected;
  QPushButton* AddButton;
  QPushButton* RemoveButton;
  QPushButton* OkayButton;
  QPushButton* CancelButton;

 private:
  void MoveSelected(QTreeWidget* from, QTreeWidget* to);
  void UpdateButtons();
  void OkayButtonClick();
  void AddItem(QTreeWidget* list, const TTreeNode* entry);

  TTreeNode* groupNode_ = nullptr;
  TTreeNode* allSealsNode_ = nullptr;
};
