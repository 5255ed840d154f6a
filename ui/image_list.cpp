#include "ui/image_list.h"

#include <QPainter>
#include <QSvgRenderer>
#include <array>

#include "ui/cell_format.h"

// Resources of a static library must be registered explicitly.
static void InitIconResources() {
    Q_INIT_RESOURCE(icons);
}

namespace qora {

namespace {

constexpr std::array<const char*, kImageCount> kImageFiles = {
    "00_file_create", "01_file_open", "02_file_save",  "03_file_exit",    "04_help_about",
    "05_dev_add",     "06_dev_edit",  "07_dev_delete", "08_file_save_as", "09_clock",
    "10_help_help",   "11_normal",    "12_fault",      "13_show_hide",    "14_restart",
};

QString ResourcePath(const char* base) {
    return QStringLiteral(":/qora/icons/%1.svg").arg(QLatin1String(base));
}

QIcon IconFromSvg(const QString& resource, std::initializer_list<int> sizes) {
    QIcon icon;
    for (int s : sizes) {
        QPixmap pm = RenderSvg(resource, s);
        if (!pm.isNull()) icon.addPixmap(pm);
    }
    return icon;
}

}  // namespace

QPixmap RenderSvg(const QString& resource, int size) {
    static const bool registered = (InitIconResources(), true);
    (void)registered;
    QSvgRenderer renderer(resource);
    if (!renderer.isValid()) return {};
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter painter(&pm);
    renderer.render(&painter);
    return pm;
}

QIcon ImageListIcon(int index) {
    if (index < 0 || index >= kImageCount) return {};
    return IconFromSvg(ResourcePath(kImageFiles[static_cast<size_t>(index)]), {16, 32});
}

QIcon ProgramIcon() {
    return IconFromSvg(ResourcePath("program"), {16, 24, 32, 48, 64, 128});
}

QPixmap ProgramPixmap(int size) {
    return RenderSvg(ResourcePath("program"), size);
}

}  // namespace qora
