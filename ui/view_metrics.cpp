#include "ui/view_metrics.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QHeaderView>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QStyleOptionHeader>
#include <QStyleOptionViewItem>
#include <algorithm>

namespace qora {

namespace {

QSize CellSize(const QAbstractItemView* view, const QString& text, bool withIcon) {
    QStyleOptionViewItem opt;
    opt.initFrom(view);
    opt.font = view->font();
    opt.fontMetrics = QFontMetrics(opt.font);
    opt.text = text;
    opt.features = QStyleOptionViewItem::HasDisplay;
    opt.decorationSize = view->iconSize().isValid() ? view->iconSize() : QSize(16, 16);
    opt.decorationPosition = QStyleOptionViewItem::Left;
    opt.displayAlignment = Qt::AlignLeft | Qt::AlignVCenter;
    if (withIcon) opt.features |= QStyleOptionViewItem::HasDecoration;
    return view->style()->sizeFromContents(QStyle::CT_ItemViewItem, &opt, QSize(), view);
}

}  // namespace

int CellWidth(const QAbstractItemView* view, const QString& text, bool withIcon) {
    const QSize size = CellSize(view, text, withIcon);
    // A little more than the style's own margins: the text is drawn without eliding then even
    // when rounding of the face's advances differs between measuring and painting.
    return size.width() + 2;
}

int RowHeight(const QAbstractItemView* view) {
    return CellSize(view, QStringLiteral("Ay"), false).height();
}

int WidestCell(const QAbstractItemView* view, const QStringList& texts, bool withIcon) {
    int widest = 0;
    for (const QString& t : texts) widest = std::max(widest, CellWidth(view, t, withIcon));
    return widest;
}

int HeaderSectionWidth(const QHeaderView* header, const QString& caption) {
    QStyleOptionHeader opt;
    opt.initFrom(header);
    opt.text = caption;
    opt.fontMetrics = QFontMetrics(header->font());
    const QSize size = header->style()->sizeFromContents(QStyle::CT_HeaderSection, &opt, QSize(), header);
    return size.width() + 2;
}

int ComboWidthForEntries(const QComboBox* combo, int minimum) {
    const QFontMetrics fm(combo->font());
    int text = 0;
    for (int i = 0; i < combo->count(); ++i) text = std::max(text, fm.horizontalAdvance(combo->itemText(i)));
    QStyleOptionComboBox opt;
    opt.initFrom(combo);
    opt.editable = combo->isEditable();
    const QSize size =
        combo->style()->sizeFromContents(QStyle::CT_ComboBox, &opt, QSize(text + 2, fm.height()), combo);
    return std::max(minimum, size.width());
}

}  // namespace qora
