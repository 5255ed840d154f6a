#include "ui/os_version.h"

#include <QFile>
#include <QRegularExpression>
#include <QStringList>

#ifdef __unix__
#include <sys/utsname.h>
#endif

namespace qora {

namespace {

QString BuildLine(const QString& servicePack, uint32_t build) {
    return QStringLiteral("%1 (Build %2)\n").arg(servicePack, QString::number(build & 0xFFFFu));
}

QString ExtendedEdition(const TOSVersionRecord& r) {
    const uint32_t major = r.majorVersion;
    const uint32_t minor = r.minorVersion;
    const uint16_t suite = r.suiteMask;
    if (r.productType == kNtWorkstation) {
        if (major == 4) return QStringLiteral("Workstation 4.0 ");
        return (suite & kSuitePersonal) ? QStringLiteral("Home Edition ") : QStringLiteral("Professional ");
    }
    if (r.productType == kNtServer || r.productType == kNtDomainController) {
        if (major == 5 && minor == 2) {
            if (suite & kSuiteDatacenter) return QStringLiteral("Datacenter Edition ");
            if (suite & kSuiteEnterprise) return QStringLiteral("Enterprise Edition ");
            if (suite == kSuiteBlade) return QStringLiteral("Web Edition ");
            return QStringLiteral("Standard Edition ");
        }
        if (major == 5 && minor == 0) {
            if (suite & kSuiteDatacenter) return QStringLiteral("Datacenter Server ");
            if (suite & kSuiteEnterprise) return QStringLiteral("Advanced Server ");
            return QStringLiteral("Server ");
        }
        return (suite & kSuiteEnterprise) ? QStringLiteral("Server 4.0, Enterprise Edition ")
                                          : QStringLiteral("Server 4.0 ");
    }
    return {};
}

}  // namespace

int GetOSVersionText(const TOSVersionRecord* record, const IOSRegistry& registry, QString& text) {
    if (record == nullptr) return 0;
    const TOSVersionRecord& r = *record;
    const QChar sp1 = r.csdVersion.size() > 1 ? r.csdVersion.at(1) : QChar();
    switch (r.platformId) {
        case kPlatformWin32s:
            text += QStringLiteral("Microsoft Win32s\n");
            return 1;
        case kPlatformWin32Windows:
            if (r.majorVersion == 4 && r.minorVersion == 0) {
                text += QStringLiteral("Microsoft Windows 95 ");
                if (sp1 == QLatin1Char('C') || sp1 == QLatin1Char('B')) text += QStringLiteral("OSR2 ");
            } else if (r.majorVersion == 4 && r.minorVersion == 10) {
                text += QStringLiteral("Microsoft Windows 98 ");
                if (sp1 == QLatin1Char('A')) text += QStringLiteral("SE ");
            } else if (r.majorVersion == 4 && r.minorVersion == 90) {
                text += QStringLiteral("Microsoft Windows Millennium Edition\n");
            }
            return 1;
        case kPlatformWin32NT:
            break;
        default:
            return 1;
    }

    // Product line.
    if (r.majorVersion == 5 && r.minorVersion == 2)
        text += QStringLiteral("Microsoft Windows Server 2003, ");
    else if (r.majorVersion == 5 && r.minorVersion == 1)
        text += QStringLiteral("Microsoft Windows XP ");
    else if (r.majorVersion == 5 && r.minorVersion == 0)
        text += QStringLiteral("Microsoft Windows 2000 ");
    else if (r.majorVersion <= 4)
        text += QStringLiteral("Microsoft Windows NT ");

    // Edition.
    if (r.extended) {
        text += ExtendedEdition(r);
    } else {
        const std::optional<QString> type = registry.ProductType();
        if (!type) return 0;
        if (type->compare(QLatin1String("WINNT"), Qt::CaseInsensitive) == 0)
            text += QStringLiteral("Workstation ");
        else if (type->compare(QLatin1String("LANMANNT"), Qt::CaseInsensitive) == 0)
            text += QStringLiteral("Server ");
        else if (type->compare(QLatin1String("SERVERNT"), Qt::CaseInsensitive) == 0)
            text += QStringLiteral("Advanced Server ");
        text += QStringLiteral("%1.%2 ").arg(r.majorVersion).arg(r.minorVersion);
    }

    // Service pack and build.
    if (r.majorVersion == 4 &&
        r.csdVersion.compare(QLatin1String("Service Pack 6"), Qt::CaseInsensitive) == 0 &&
        registry.HasQ246009()) {
        text += QStringLiteral("Service Pack 6a (Build %1)\n").arg(r.buildNumber & 0xFFFFu);
    } else {
        text += BuildLine(r.csdVersion, r.buildNumber);
    }
    return 1;
}

QString LinuxOSDescription(const QString& osRelease, const QString& sysname, const QString& release,
                           const QString& machine) {
    QString pretty, name, version;
    for (const QString& raw : osRelease.split(QLatin1Char('\n'))) {
        const QString line = raw.trimmed();
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (line.startsWith(QLatin1Char('#')) || eq <= 0) continue;
        const QString key = line.left(eq);
        QString value = line.mid(eq + 1).trimmed();
        if (value.size() >= 2 && (value.front() == QLatin1Char('"') || value.front() == QLatin1Char('\'')) &&
            value.back() == value.front())
            value = value.mid(1, value.size() - 2);
        value.replace(QLatin1String("\\\""), QLatin1String("\""));
        if (key == QLatin1String("PRETTY_NAME"))
            pretty = value;
        else if (key == QLatin1String("NAME"))
            name = value;
        else if (key == QLatin1String("VERSION"))
            version = value;
    }
    QString text = !pretty.isEmpty() ? pretty : QStringList{name, version}.join(QLatin1Char(' ')).trimmed();
    QString kernel = QStringList{sysname, release}.join(QLatin1Char(' ')).trimmed();
    if (!machine.isEmpty()) kernel += QStringLiteral(" (") + machine + QStringLiteral(")");
    if (!text.isEmpty() && !kernel.isEmpty()) text += QLatin1Char('\n');
    return text + kernel;
}

QString CurrentOSDescription() {
    QString osRelease;
    for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
        QFile f(QString::fromLatin1(path));
        if (f.open(QIODevice::ReadOnly)) {
            osRelease = QString::fromUtf8(f.read(64 * 1024));
            break;
        }
    }
    QString sysname, release, machine;
#ifdef __unix__
    struct utsname u {};
    if (uname(&u) == 0) {
        sysname = QString::fromLocal8Bit(u.sysname);
        release = QString::fromLocal8Bit(u.release);
        machine = QString::fromLocal8Bit(u.machine);
    }
#endif
    return LinuxOSDescription(osRelease, sysname, release, machine);
}

std::optional<uint64_t> ParseMemAvailableKb(const QString& meminfo) {
    std::optional<uint64_t> memFree;
    static const QRegularExpression re(QStringLiteral("^(MemAvailable|MemFree):\\s*(\\d+)\\s*kB\\s*$"),
                                       QRegularExpression::MultilineOption);
    auto it = re.globalMatch(meminfo);
    while (it.hasNext()) {
        const auto m = it.next();
        bool ok = false;
        const uint64_t v = m.captured(2).toULongLong(&ok);
        if (!ok) continue;
        if (m.captured(1) == QLatin1String("MemAvailable")) return v;
        memFree = v;
    }
    return memFree;
}

std::optional<uint64_t> CurrentMemAvailableKb() {
    QFile f(QStringLiteral("/proc/meminfo"));
    if (!f.open(QIODevice::ReadOnly)) return std::nullopt;
    return ParseMemAvailableKb(QString::fromLatin1(f.read(64 * 1024)));
}

QString FormatKbytes(uint64_t kb, const QLocale& locale) {
    QLocale loc = locale;
    loc.setNumberOptions(loc.numberOptions() & ~QLocale::OmitGroupSeparator);
    const QString digits = kb == 0 ? QString() : loc.toString(static_cast<qulonglong>(kb));
    return digits + QStringLiteral(" Кбайт");
}

QString MemoryLine(uint64_t kb, const QLocale& locale) {
    return QStringLiteral("Доступно памяти: ") + FormatKbytes(kb, locale);
}

}  // namespace qora
