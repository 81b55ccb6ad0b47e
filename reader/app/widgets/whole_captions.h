#pragma once
// A one-column tree whose captions are never cut short: the column is as wide as its
// widest node, so a long caption deep in the tree is scrolled to, and never narrower
// than the view, so a click right of a short caption still hits its row.

#include <QObject>

class QHeaderView;
class QTreeWidget;

class TWholeCaptions : public QObject {
 public:
  // Owned by the tree.
  explicit TWholeCaptions(QTreeWidget* tree);

 protected:
  bool eventFilter(QObject* viewport, QEvent* event) override;

 private:
  QHeaderView* const header_;
};
