#include "app/program_texts.h"

#include "config/file_io.h"

namespace qora {

namespace {

QString Where(const ua::ListenState& s) {
    if (s.host.empty()) return QStringLiteral("всех адресах, порт %1").arg(s.port);
    const QString host = QString::fromStdString(s.host);
    // An IPv6 literal is written in brackets before the port.
    if (host.contains(QLatin1Char(':'))) return QStringLiteral("[%1]:%2").arg(host).arg(s.port);
    return QStringLiteral("%1:%2").arg(host).arg(s.port);
}

QString Reason(const ua::ListenState& s) {
    if (s.error != 0) return ErrnoText(s.error);
    return QString::fromLocal8Bit(s.reason.c_str());
}

}  // namespace

QString ListenStateText(const ua::ListenState& state) {
    if (state.listening)
        return QStringLiteral("Сервер OPC UA принимает подключения на %1.").arg(Where(state));
    return QStringLiteral(
               "Сервер OPC UA не может принимать подключения на %1: %2. Повторные попытки продолжаются.")
        .arg(Where(state), Reason(state));
}

QStringList RegistrationFailureLines(bool registering, gb::HRESULT result,
                                     const std::vector<gb::GBFileFailure>& failures) {
    QStringList lines;
    if (result == gb::E_INVALIDARG)
        lines << QStringLiteral("Регистрация не выполнена: не удалось определить путь к программе.");
    for (const gb::GBFileFailure& f : failures) {
        const QString what = f.kind == gb::GBFileFailure::Kind::Unit ? QStringLiteral("Файл службы systemd")
                                                                     : QStringLiteral("Ярлык рабочего стола");
        const QString done = registering ? QStringLiteral("не записан") : QStringLiteral("не удалён");
        lines << QStringLiteral("%1 %2: %3: %4")
                     .arg(what, done, QString::fromStdString(f.path), ErrnoText(f.error));
    }
    if (lines.isEmpty() && gb::FAILED(result))
        lines << (registering ? QStringLiteral("Регистрация не выполнена.")
                              : QStringLiteral("Отмена регистрации не выполнена."));
    return lines;
}

QString RestartFailureText(const QString& executable, const QString& reason) {
    return QStringLiteral("Не удалось запустить новый процесс сервера (%1): %2. Сервер продолжает работу.")
        .arg(executable, reason);
}

}  // namespace qora
