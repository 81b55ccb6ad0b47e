#include "whole_captions.h"

#include <QEvent>
#include <QHeaderView>
#include <QTreeWidget>

TWholeCaptions::TWholeCaptions(QTreeWidget* tree) : QObject(tree), header_(tree->header()) {
  header_->setStretchLastSection(false);
  header_->setSectionResizeMode(0, QHeaderView::ResizeToContents);
  tree->viewport()->installEventFilter(this);
}

bool TWholeCaptions::eventFilter(QObject* viewport, QEvent* event) {
  if (event->type() == QEvent::Resize) header_->setMinimumSectionSize(static_cast<QWidget*>(viewport)->width());
  return false;
}
