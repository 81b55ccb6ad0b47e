#include "group.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QVBoxLayout>
#include <algorithm>
#include <limits>

#include "images.h"
#include "message_box.h"
#include "message_dlg.h"
#include "setup_trees.h"

namespace {

// Without leading and trailing blanks and control characters.
QString TrimName(const QString& name) {
  qsizetype first = 0, last = name.size();
  while (first < last && name[first].unicode() <= ' ') ++first;
  while (last > first && name[last - 1].unicode() <= ' ') --last;
  return name.mid(first, last - first);
}

// Only a to z become capitals; every other character compares as it is.
QString UpperAscii(QString text) {
  for (QChar& c : text)
    if (c >= 'a' && c <= 'z') c = QChar(c.unicode() - 32);
  return text;
}

constexpr int DesignColumnWidth = 120;

// The width an item of the longest caption a seal can have takes, pictures included, in
// the list's font and style: the form's column was made for a narrower font.
int SealColumnWidth(const QTreeWidget* list) {
  QStyleOptionViewItem item;
  item.initFrom(list);
  item.font = list->font();
  item.fontMetrics = QFontMetrics(item.font);
  item.features = QStyleOptionViewItem::HasDisplay | QStyleOptionViewItem::HasDecoration;
  item.text = SealCaption(std::numeric_limits<uint32_t>::max());
  item.decorationSize = list->iconSize();
  item.decorationPosition = QStyleOptionViewItem::Left;
  const QSize size = list->style()->sizeFromContents(QStyle::CT_ItemViewItem, &item, QSize(), list);
  return std::max(DesignColumnWidth, size.width());
}

QTreeWidget* MakeList(QWidget* parent, const char* name) {
  auto* list = new QTreeWidget(parent);
  list->setObjectName(name);
  list->setHeaderHidden(true);
  list->setRootIsDecorated(false);
  list->setColumnCount(1);
  list->setIconSize(QSize(41, 16));
  // One column of its own width, scrolled to rather than squeezed into the list.
  list->header()->setStretchLastSection(false);
  list->setColumnWidth(0, SealColumnWidth(list));
  list->setSelectionMode(QAbstractItemView::ExtendedSelection);
  list->setSelectionBehavior(QAbstractItemView::SelectRows);
  list->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list->setSortingEnabled(true);
  list->sortByColumn(0, Qt::AscendingOrder);
  return list;
}

}  // namespace

bool GroupHasSeal(const QString& caption, const TTreeNode* group) {
  for (int i = 0; i < group->childCount(); ++i)
    if (group->child(i)->text(0) == caption) return true;
  return false;
}

void MoveListItem(TTreeNode* item, QTreeWidget* other) {
  auto* copy = new TTreeNode(other, item->text(0), item->ImageIndex());
  copy->SetStateIndex(item->StateIndex());
  copy->sealNode = item->sealNode;
  delete item;
}

TGroupForm::TGroupForm(QWidget* mainWindow) : TReaderDialog(mainWindow, 408, 235) {
  setObjectName("GroupForm");
  setWindowTitle("Group");

  NameEdit = new QLineEdit(this);
  NameEdit->setObjectName("NameEdit");
  ListViewNotSelected = MakeList(this, "ListViewNotSelected");
  ListViewSelected = MakeList(this, "ListViewSelected");
  AddButton = new QPushButton("&Add >>", this);
  AddButton->setObjectName("AddButton");
  RemoveButton = new QPushButton("<< &Remove", this);
  RemoveButton->setObjectName("RemoveButton");
  AddButton->setEnabled(false);
  RemoveButton->setEnabled(false);
  for (QPushButton* b : {AddButton, RemoveButton}) {
    b->setAutoDefault(false);
    b->setFixedWidth(72);
  }
  OkayButton = new QPushButton("OK", this);
  OkayButton->setObjectName("OkayButton");
  OkayButton->setDefault(true);
  CancelButton = new QPushButton("Cancel", this);
  CancelButton->setObjectName("CancelButton");
  CancelButton->setAutoDefault(false);

  auto* upper = new QGroupBox(this);
  auto* nameRow = new QHBoxLayout(upper);
  auto* picture = new QLabel(upper);
  picture->setPixmap(ReaderImages::TreeImage(GroupImage));
  nameRow->addWidget(picture);
  nameRow->addWidget(new QLabel("Name:", upper));
  nameRow->addWidget(NameEdit, 1);

  auto* lower = new QGroupBox(this);
  auto* lists = new QGridLayout(lower);
  lists->setContentsMargins(6, 6, 6, 6);
  lists->addWidget(new QLabel("Not selected:", lower), 0, 0);
  lists->addWidget(ListViewNotSelected, 1, 0);
  auto* middle = new QVBoxLayout;
  middle->addStretch();
  middle->addWidget(AddButton);
  middle->addWidget(RemoveButton);
  middle->addStretch();
  lists->addLayout(middle, 1, 1);
  lists->addWidget(new QLabel("Selected:", lower), 0, 2);
  lists->addWidget(ListViewSelected, 1, 2);

  // The buttons stand beside the name, so that the lists below have the whole width.
  auto* buttons = new QVBoxLayout;
  buttons->addWidget(OkayButton);
  buttons->addWidget(CancelButton);
  buttons->addStretch();
  auto* top = new QHBoxLayout;
  top->addWidget(upper, 1);
  top->addLayout(buttons);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(6, 6, 6, 6);
  layout->addLayout(top);
  layout->addWidget(lower, 1);

  connect(ListViewNotSelected, &QTreeWidget::itemSelectionChanged, this, &TGroupForm::UpdateButtons);
  connect(ListViewSelected, &QTreeWidget::itemSelectionChanged, this, &TGroupForm::UpdateButtons);
  connect(AddButton, &QPushButton::clicked, this, [this] { MoveSelected(ListViewNotSelected, ListViewSelected); });
  connect(RemoveButton, &QPushButton::clicked, this, [this] { MoveSelected(ListViewSelected, ListViewNotSelected); });
  connect(OkayButton, &QPushButton::clicked, this, &TGroupForm::OkayButtonClick);
  connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);
}

void TGroupForm::AddItem(QTreeWidget* list, const TTreeNode* entry) {
  auto* item = new TTreeNode(list, entry->text(0), entry->ImageIndex());
  item->SetStateIndex(entry->StateIndex());
  item->sealNode = entry->sealNode;
}

bool TGroupForm::Execute(TTreeNode* allSealsNode, TTreeNode*& groupNode) {
  ListViewNotSelected->clear();
  ListViewSelected->clear();
  if (groupNode) {
    setWindowTitle("Group Properties");
    NameEdit->setText(groupNode->text(0));
  } else {
    setWindowTitle("Create Group");
    NameEdit->clear();
  }
  for (int i = 0; i < allSealsNode->childCount(); ++i) {
    const TTreeNode* entry = allSealsNode->Child(i);
    const bool selected = groupNode && GroupHasSeal(entry->text(0), groupNode);
    AddItem(selected ? ListViewSelected : ListViewNotSelected, entry);
  }
  UpdateButtons();
  groupNode_ = groupNode;
  allSealsNode_ = allSealsNode;
  NameEdit->setFocus();
  if (exec() != QDialog::Accepted) return false;
  groupNode = groupNode_;
  return true;
}

void TGroupForm::UpdateButtons() {
  AddButton->setEnabled(!ListViewNotSelected->selectedItems().isEmpty());
  RemoveButton->setEnabled(!ListViewSelected->selectedItems().isEmpty());
}

void TGroupForm::MoveSelected(QTreeWidget* from, QTreeWidget* to) {
  while (!from->selectedItems().isEmpty()) MoveListItem(static_cast<TTreeNode*>(from->selectedItems().first()), to);
  UpdateButtons();
}

bool TGroupForm::GroupNameExists(const QString& name, const QTreeWidget* groupTree) {
  const QString wanted = UpperAscii(name);
  for (int i = 0; i < groupTree->topLevelItemCount(); ++i)
    if (UpperAscii(groupTree->topLevelItem(i)->text(0)) == wanted) {
      MessageDlg("A group with this name already exists. Please specify another name.", TMsgDlgType::Error,
                 platform::MB_OK);
      NameEdit->setFocus();
      return true;
    }
  return false;
}

void TGroupForm::OkayButtonClick() {
  const QString name = TrimName(NameEdit->text());
  NameEdit->setText(name);
  if (name.isEmpty()) {
    MessageDlg("Please specify a group name.", TMsgDlgType::Error, platform::MB_OK);
    NameEdit->setFocus();
    return;
  }
  QTreeWidget* groupTree = allSealsNode_->treeWidget();
  if (groupNode_) {
    if (name != groupNode_->text(0)) {
      if (GroupNameExists(name, groupTree)) return;
      groupNode_->setText(0, name);
    }
    qDeleteAll(groupNode_->takeChildren());
  } else {
    if (GroupNameExists(name, groupTree)) return;
    groupNode_ = new TTreeNode(groupTree, name, allSealsNode_->ImageIndex());
  }
  for (int i = 0; i < ListViewSelected->topLevelItemCount(); ++i) {
    const auto* item = static_cast<const TTreeNode*>(ListViewSelected->topLevelItem(i));
    auto* entry = new TTreeNode(groupNode_, item->text(0), item->ImageIndex());
    entry->SetStateIndex(item->StateIndex());
    entry->sealNode = item->sealNode;
  }
  accept();
}
