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

constexpr size_t kWriteChunk = size_t{1} << 20;

std::function<void(size_t)>& ProgressHook() {
    static std::function<void(size_t)> hook;
    return hook;
}
std::atomic<bool> g_unnamedAllowed{true};

void SetError(QString* out, const QString& text) {
    if (out != nullptr) *out = text;
}

class FdCloser {
  public:
    explicit FdCloser(int fd) : fd_(fd) {}
    ~FdCloser() {
        if (fd_ >= 0) ::close(fd_);
    }
    FdCloser(const FdCloser&) = delete;
    FdCloser& operator=(const FdCloser&) = delete;
    int Get() const { return fd_; }
    int Release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
};

bool WriteAll(int fd, const uint8_t* p, size_t n) {
    size_t done = 0;
    while (done < n) {
        ssize_t w = ::write(fd, p + done, std::min(n - done, kWriteChunk));
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (w == 0) {
            errno = EIO;
            return false;
        }
        done += static_cast<size_t>(w);
        if (ProgressHook()) ProgressHook()(done);
    }
    return true;
}

std::string DirectoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string BaseOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string TempPrefix(const std::string& target) {
    return "." + BaseOf(target) + ".tmp-";
}

std::string TempNameFor(const std::string& target) {
    static std::atomic<unsigned> counter{0};
    size_t slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    return dir + TempPrefix(target) + std::to_string(::getpid()) + "-" +
           std::to_string(counter.fetch_add(1, std::memory_order_relaxed));
}

// Parses "<pid>-<n>" (decimal, nothing else); 0 when the text is not of that form.
pid_t TempOwner(const char* rest) {
    const char* dash = std::strchr(rest, '-');
    if (dash == nullptr || dash == rest || dash[1] == '\0') return 0;
    for (const char* c = rest; c != dash; ++c)
        if (*c < '0' || *c > '9') return 0;
    for (const char* c = dash + 1; *c != '\0'; ++c)
        if (*c < '0' || *c > '9') return 0;
    if (dash - rest > 9) return 0;
    return static_cast<pid_t>(std::atol(rest));
}

// Removes the named temporaries of target left by processes that are no longer running (a save
// killed while writing). Temporaries of running processes, this one included, are left alone.
void RemoveStaleTemporaries(const std::string& target) {
    const std::string prefix = TempPrefix(target);
    DIR* dir = ::opendir(DirectoryOf(target).c_str());
    if (dir == nullptr) return;
    const pid_t self = ::getpid();
    while (const dirent* e = ::readdir(dir)) {
        if (std::strncmp(e->d_name, prefix.c_str(), prefix.size()) != 0) continue;
        const pid_t owner = TempOwner(e->d_name + prefix.size());
        if (owner <= 0 || owner == self) continue;
        if (::kill(owner, 0) == 0 || errno != ESRCH) continue;
        struct stat st {};
        if (::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
            continue;
        (void)::unlinkat(::dirfd(dir), e->d_name, 0);
    }
    ::closedir(dir);
}

bool UnnamedFilesUsable() {
    // Naming an unnamed file goes through its /proc link.
    static const bool procMounted = ::access("/proc/self/fd", X_OK) == 0;
    return procMounted && g_unnamedAllowed.load();
}

// Gives the unnamed file open on fd the name path; fails with EEXIST when path exists.
bool LinkUnnamed(int fd, const std::string& path) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

// rename that never replaces: EEXIST when to exists.
bool RenameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without the flag: a hard link fails on an existing name as well.
    if (::link(from.c_str(), to.c_str()) != 0) return false;
    (void)::unlink(from.c_str());
    return true;
}

}  // namespace

void SetWriteProgressHookForTesting(std::function<void(size_t written)> hook) {
    ProgressHook() = std::move(hook);
}

void SetUnnamedTempFilesForTesting(bool allowed) {
    g_unnamedAllowed = allowed;
}

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
    FdCloser closer(fd);
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
    auto failWith = [&](int e) {
        SetError(error, CreateFileError(path, e));
        if (errorNumber != nullptr) *errorNumber = e;
        return false;
    };
    std::string target = QFile::encodeName(path).toStdString();
    if (target.empty()) return failWith(ENOENT);
    struct stat lst {};
    const bool existed = ::lstat(target.c_str(), &lst) == 0;
    if (existed && mode == ReplaceMode::KeepExisting) return failWith(EEXIST);
    if (existed && S_ISLNK(lst.st_mode)) {
        char resolved[PATH_MAX];
        if (::realpath(target.c_str(), resolved) != nullptr) target = resolved;
    }
    struct stat old {};
    const bool hadOld = ::stat(target.c_str(), &old) == 0;
    if (hadOld && S_ISDIR(old.st_mode)) return failWith(EISDIR);

    RemoveStaleTemporaries(target);

    // temp stays empty while the file has no name.
    std::string temp;
    int fd = -1;
    if (UnnamedFilesUsable()) {
        fd = ::open(DirectoryOf(target).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        // Only a file system (or kernel) without unnamed files falls back to a named temporary.
        if (fd < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return failWith(errno);
    }
    if (fd < 0) {
        for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
            temp = TempNameFor(target);
            fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd < 0 && errno != EEXIST) break;
        }
        if (fd < 0) return failWith(errno);
    }
    FdCloser closer(fd);
    auto fail = [&](int e) {
        if (closer.Get() >= 0) ::close(closer.Release());
        if (!temp.empty()) ::unlink(temp.c_str());
        return failWith(e);
    };
    if (hadOld) {
        if (old.st_uid != ::geteuid() || old.st_gid != ::getegid()) {
            // Keep the owner where we may (running as root); otherwise the file becomes ours.
            if (::fchown(fd, old.st_uid, old.st_gid) != 0) { /* not permitted: keep ours */
            }
        }
        if (::fchmod(fd, old.st_mode & 07777) != 0) return fail(errno);
    }
    if (!WriteAll(fd, static_cast<const uint8_t*>(data), size)) return fail(errno);
    if (::fsync(fd) != 0) return fail(errno);

    bool named = false;  // already under target
    if (temp.empty()) {
        if (mode == ReplaceMode::KeepExisting || !hadOld) {
            // linkat never replaces: it names the file only when target does not exist.
            if (LinkUnnamed(fd, target))
                named = true;
            else if (mode == ReplaceMode::KeepExisting || errno != EEXIST)
                return fail(errno);
        }
        if (!named) {
            // Replacing: a unique name first, then the rename over target.
            for (int attempt = 0; attempt < 100 && temp.empty(); ++attempt) {
                std::string candidate = TempNameFor(target);
                if (LinkUnnamed(fd, candidate))
                    temp = std::move(candidate);
                else if (errno != EEXIST)
                    return fail(errno);
            }
            if (temp.empty()) return fail(EEXIST);
        }
    }
    // Once the file is named under target it has been flushed: a failing close changes nothing.
    if (::close(closer.Release()) != 0 && !named) return fail(errno);
    if (!named) {
        const bool renamed = mode == ReplaceMode::KeepExisting ? RenameNoReplace(temp, target)
                                                               : ::rename(temp.c_str(), target.c_str()) == 0;
        if (!renamed) return fail(errno);
    }
    // Make the new name durable; a failure here no longer endangers either file.
    int dfd = ::open(DirectoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        (void)::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

}  // namespace qora
