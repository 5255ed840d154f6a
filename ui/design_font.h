// The windows were designed for an 8-point sans-serif face (Tahoma in the window and the
// dialogs); the sizes of their controls assume it.
#pragma once

#include <QApplication>
#include <QFont>

namespace qora {

inline QFont DesignFont(const char* family = "Tahoma") {
    QFont f = QApplication::font();
    f.setFamilies({QString::fromLatin1(family), f.family()});
    f.setPointSize(8);
    return f;
}

}  // namespace qora
