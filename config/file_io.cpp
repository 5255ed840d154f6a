#include "config/file_io.h"

#include <QFile>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace qora {

QString ErrnoText(int error) {
    char buf[256];
    // GNU strerror_r: returns a pointer that may or may not be buf.
    const char* text = strerror_r(error, buf, sizeof buf);
    return QString::fromLocal8Bit(text);
}

namespace {

QString OpenError(const QString& path, int error) {
    return QStringLiteral("Cannot open file \"%1\". %2").arg(path, ErrnoText(error));
}

QString CreateError(const QString& path, int error) {
    return QStringLiteral("Cannot create file \"%1\". %2").arg(path, ErrnoText(error));
}

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
    int Release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

bool WriteAll(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (w == 0) {
            errno = EIO;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

std::string DirectoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string TempNameFor(const std::string& target) {
    static std::atomic<unsigned> counter{0};
    size_t slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    return dir + "." + base + ".tmp-" + std::to_string(::getpid()) + "-" +
           std::to_string(counter.fetch_add(1, std::memory_order_relaxed));
}

}  // namespace

FileReadStatus ReadFileBytes(const QString& path, std::vector<uint8_t>& out, size_t maxBytes, QString* error) {
    out.clear();
    const QByteArray native = QFile::encodeName(path);
    // O_NONBLOCK: a FIFO without a writer must not hang the caller.
    int fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        const int e = errno;
        SetError(error, OpenError(path, e));
        return e == ENOENT ? FileReadStatus::Missing : FileReadStatus::Failed;
    }
    FdCloser closer(fd);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        SetError(error, OpenError(path, errno));
        return FileReadStatus::Failed;
    }
    if (S_ISDIR(st.st_mode)) {
        SetError(error, OpenError(path, EISDIR));
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
            SetError(error, OpenError(path, errno));
            out.clear();
            return FileReadStatus::Failed;
        }
        if (r == 0) break;
        out.insert(out.end(), buf, buf + r);
    }
    return FileReadStatus::Ok;
}

bool WriteFileAtomically(const QString& path, const void* data, size_t size, QString* error) {
    std::string target = QFile::encodeName(path).toStdString();
    if (target.empty()) {
        SetError(error, CreateError(path, ENOENT));
        return false;
    }
    struct stat lst {};
    if (::lstat(target.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
        char resolved[PATH_MAX];
        if (::realpath(target.c_str(), resolved) != nullptr) target = resolved;
    }
    struct stat old {};
    const bool hadOld = ::stat(target.c_str(), &old) == 0;
    if (hadOld && S_ISDIR(old.st_mode)) {
        SetError(error, CreateError(path, EISDIR));
        return false;
    }

    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = TempNameFor(target);
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        SetError(error, CreateError(path, errno));
        return false;
    }
    FdCloser closer(fd);
    auto fail = [&](int e) {
        ::close(closer.Release());
        ::unlink(temp.c_str());
        SetError(error, CreateError(path, e));
        return false;
    };
    if (hadOld) {
        if (old.st_uid != ::geteuid() || old.st_gid != ::getegid()) {
            // Keep the owner where we may (running as root); otherwise the file becomes ours.
            if (::fchown(fd, old.st_uid, old.st_gid) != 0) { /* not permitted: keep ours */ }
        }
        if (::fchmod(fd, old.st_mode & 07777) != 0) return fail(errno);
    }
    if (!WriteAll(fd, static_cast<const uint8_t*>(data), size)) return fail(errno);
    if (::fsync(fd) != 0) return fail(errno);
    if (::close(closer.Release()) != 0) {
        const int e = errno;
        ::unlink(temp.c_str());
        SetError(error, CreateError(path, e));
        return false;
    }
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        const int e = errno;
        ::unlink(temp.c_str());
        SetError(error, CreateError(path, e));
        return false;
    }
    // Make the rename itself durable; a failure here no longer endangers either file.
    int dfd = ::open(DirectoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        (void)::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

}  // namespace qora
