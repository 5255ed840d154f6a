// Widths that make texts fit, measured with the font and style of the view that shows them.
#pragma once

#include <QString>
#include <QStringList>

class QAbstractItemView;
class QComboBox;
class QHeaderView;

namespace qora {

// Width of a cell of `view` showing `text`, with a decoration of the view's icon size when
// `withIcon` (as the view's own delegate would size it).
int CellWidth(const QAbstractItemView* view, const QString& text, bool withIcon);

// Height of a one-line text row of `view`.
int RowHeight(const QAbstractItemView* view);

// Width of the widest of `texts` as cells of `view`; 0 for none.
int WidestCell(const QAbstractItemView* view, const QStringList& texts, bool withIcon);

// Width of a header section showing `caption`.
int HeaderSectionWidth(const QHeaderView* header, const QString& caption);

// Width of a drop-down list that shows the widest of its entries whole (at least `minimum`).
int ComboWidthForEntries(const QComboBox* combo, int minimum);

}  // namespace qora
