// The windows were designed for an 8-point sans-serif face (Tahoma in the window and the
// dialogs); the sizes of their controls assume it. On a desktop whose face is taller (a larger
// font or a higher resolution), the designed pixel sizes grow in proportion.
#pragma once

#include <QApplication>
#include <QFont>
#include <QFontMetricsF>
#include <QWidget>
#include <algorithm>
#include <cmath>

namespace qora {

inline QFont DesignFont(const char* family = "Tahoma") {
    QFont f = QApplication::font();
    f.setFamilies({QString::fromLatin1(family), f.family()});
    f.setPointSize(8);
    return f;
}

// The face of a dialog: its owner's (the main window's), or the design face without one.
inline QFont DialogFont(const QWidget* owner) {
    return owner != nullptr ? owner->font() : DesignFont();
}

// Line height of the design face (Tahoma 8 pt at 96 dots per inch).
inline constexpr double kDesignLineHeight = 13.0;

// How much taller `font` is than the design face; never below 1, so nothing shrinks.
inline double DesignScale(const QFont& font) {
    return std::max(1.0, QFontMetricsF(font).height() / kDesignLineHeight);
}

// A designed size in pixels for a window or control showing `font`.
inline int DesignPixels(const QFont& font, int designed) {
    return static_cast<int>(std::lround(designed * DesignScale(font)));
}

}  // namespace qora
