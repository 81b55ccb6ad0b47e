#pragma once
// Whether a tree shows an item's text whole, as its delegate lays the item out in the
// style and font in use: elided text means the operator cannot read it.

#include <QFontMetrics>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTreeWidget>

inline bool ShowsWholeText(const QTreeWidget* tree, const QTreeWidgetItem* item) {
  QStyleOptionViewItem option;
  option.initFrom(tree->viewport());
  option.rect = tree->visualItemRect(item);
  option.font = tree->font();
  option.fontMetrics = QFontMetrics(option.font);
  option.features = QStyleOptionViewItem::HasDisplay | QStyleOptionViewItem::HasDecoration;
  option.text = item->text(0);
  option.icon = item->icon(0);
  option.decorationSize = option.icon.actualSize(tree->iconSize());
  option.decorationPosition = QStyleOptionViewItem::Left;
  option.displayAlignment = Qt::AlignLeft | Qt::AlignVCenter;
  QStyle* style = tree->style();
  const QRect text = style->subElementRect(QStyle::SE_ItemViewItemText, &option, tree);
  // The text keeps a margin on either side within its rectangle.
  const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, tree) + 1;
  return option.fontMetrics.elidedText(option.text, Qt::ElideRight, text.width() - 2 * margin) == option.text;
}
