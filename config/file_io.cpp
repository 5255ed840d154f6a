#include "config/file_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace qora {

QString ErrnoText(int error) {
    // The operator reads Russian whatever locale the service runs in.
    switch (error) {
        case ENOENT:
            return QStringLiteral("Нет такого файла или каталога");
        case EACCES:
            return QStringLiteral("Отказано в доступе");
        case EPERM:
            return QStringLiteral("Операция не позволена");
        case EROFS:
            return QStringLiteral("Файловая система доступна только для чтения");
        case ENOSPC:
            return QStringLiteral("На устройстве не осталось свободного места");
        case EDQUOT:
            return QStringLiteral("Превышена дисковая квота");
        case EISDIR:
            return QStringLiteral("Это каталог");
        case ENOTDIR:
            return QStringLiteral("Это не каталог");
        case EIO:
            return QStringLiteral("Ошибка ввода/вывода");
        case EEXIST:
            return QStringLiteral("Файл существует");
        case ENAMETOOLONG:
            return QStringLiteral("Слишком длинное имя файла");
        case ELOOP:
            return QStringLiteral("Слишком много уровней символьных ссылок");
        case EFBIG:
            return QStringLiteral("Файл слишком велик");
        case EMFILE:
        case ENFILE:
            return QStringLiteral("Слишком много открытых файлов");
        case EBUSY:
            return QStringLiteral("Устройство или ресурс занято");
        case ETXTBSY:
            return QStringLiteral("Текстовый файл занят");
        // Errors of the OPC UA endpoint's listening socket.
        case EADDRINUSE:
            return QStringLiteral("Адрес уже используется");
        case EADDRNOTAVAIL:
            return QStringLiteral("Невозможно назначить запрошенный адрес");
        case EAFNOSUPPORT:
            return QStringLiteral("Семейство адресов не поддерживается протоколом");
        default:
            break;
    }
    char buf[256];
    // GNU strerror_r: returns a pointer that may or may not be buf.
    const char* text = strerror_r(error, buf, sizeof buf);
    return QString::fromLocal8Bit(text);
}

QString OpenFileError(const QString& path, int error) {
    return QStringLiteral("Не удалось открыть файл \"%1\". %2").arg(path, ErrnoText(error));
}

QString CreateFileError(const QString& path, int error) {
    return QStringLiteral("Не удалось создать файл \"%1\". %2").arg(path, ErrnoText(error));
}

namespace {

void SetError(QString* out, const QString& text) {
    if (out != nullptr) *out = text;
}

struct FdCloser {
    int fd;
    ~FdCloser() { ::close(fd); }
};

}  // namespace

FileReadStatus ReadFileBytes(const QString& path, std::vector<uint8_t>& out, size_t maxBytes,
                             QString* error) {
    out.clear();
    const QByteArray native = QFile::encodeName(path);
    // O_NONBLOCK: a FIFO without a writer must not hang the caller.
    int fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        const int e = errno;
        SetError(error, OpenFileError(path, e));
        return e == ENOENT ? FileReadStatus::Missing : FileReadStatus::Failed;
    }
    FdCloser closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        SetError(error, OpenFileError(path, errno));
        return FileReadStatus::Failed;
    }
    if (S_ISDIR(st.st_mode)) {
        SetError(error, OpenFileError(path, EISDIR));
        return FileReadStatus::Failed;
    }
    if (S_ISREG(st.st_mode) && st.st_size > 0)
        out.reserve(std::min(maxBytes, static_cast<size_t>(st.st_size)));
    uint8_t buf[65536];
    while (out.size() < maxBytes) {
        size_t want = std::min(sizeof buf, maxBytes - out.size());
        ssize_t r = ::read(fd, buf, want);
        if (r < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) break;  // an empty pipe or device: what is there is the file
            SetError(error, OpenFileError(path, errno));
            out.clear();
            return FileReadStatus::Failed;
        }
        if (r == 0) break;
        out.insert(out.end(), buf, buf + r);
    }
    return FileReadStatus::Ok;
}

bool WriteFileAtomically(const QString& path, const void* data, size_t size, QString* error, ReplaceMode mode,
                         int* errorNumber) {
    const int e = AtomicWriteFile(QFile::encodeName(path).toStdString(), data, size, {.replace = mode});
    if (e == 0) return true;
    SetError(error, CreateFileError(path, e));
    if (errorNumber != nullptr) *errorNumber = e;
    return false;
}

}  // namespace qora
