// The window's image list (15 pictures of 16 x 16) and the program icon, drawn from
// the SVG files compiled into the library.
#pragma once

#include <QIcon>
#include <QPixmap>

namespace qora {

// Picture `index` (0 to 14, see TImageIndex); a null icon outside that range.
QIcon ImageListIcon(int index);
QIcon ProgramIcon();
QPixmap ProgramPixmap(int size);
// Renders an SVG resource to a square pixmap; a null pixmap when it cannot be read.
QPixmap RenderSvg(const QString& resource, int size);

}  // namespace qora
