#include "ui/point_state.h"

#include <cerrno>
#include <system_error>

#include "ui/cell_format.h"

namespace qora {

QString PointFaultReason(const TConnectionPoint& p, const TPointLine& line) {
    const QString port = FromPortName(p.portName);
    if (!line.hasPort) return QStringLiteral("порт %1 отсутствует на этом компьютере").arg(port);
    if (line.portOpen) return QString();
    switch (line.openError) {
        case 0:
            return QStringLiteral("порт %1 не открыт").arg(port);
        case EBUSY:
            return QStringLiteral("порт %1 занят другой программой").arg(port);
        case EACCES:
        case EPERM:
            return QStringLiteral("в доступе к порту %1 отказано").arg(port);
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return QStringLiteral("устройство порта %1 отсутствует").arg(port);
        default:
            return QStringLiteral("порт %1 не открывается: %2")
                .arg(port, QString::fromStdString(std::generic_category().message(line.openError)));
    }
}

QString TPointFaults::Update(int point, const QString& caption, const QString& reason) {
    if (point < 0 || point >= kMaxPoints) return QString();
    QString& told = reasons_[static_cast<size_t>(point)];
    if (told == reason) return QString();
    const bool reopened = reason.isEmpty();
    told = reason;
    return caption + QStringLiteral(": ") + (reopened ? QStringLiteral("порт открыт") : reason);
}

}  // namespace qora
