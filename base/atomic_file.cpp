#include "base/atomic_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace qora {

namespace {

constexpr size_t kWriteChunk = size_t{1} << 20;

std::function<void(size_t)>& ProgressHook() {
    static std::function<void(size_t)> hook;
    return hook;
}
std::atomic<bool> g_unnamedAllowed{true};

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

int AtomicWriteFile(const std::string& path, const void* data, size_t size,
                    const AtomicWriteOptions& options) {
    const ReplaceMode mode = options.replace;
    const mode_t createMode = options.fixedMode >= 0 ? static_cast<mode_t>(options.fixedMode) : 0666;
    auto failWith = [](int e) { return e; };
    std::string target = path;
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
        fd = ::open(DirectoryOf(target).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, createMode);
        // Only a file system (or kernel) without unnamed files falls back to a named temporary.
        if (fd < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return failWith(errno);
    }
    if (fd < 0) {
        for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
            temp = TempNameFor(target);
            fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, createMode);
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
    }
    // A fixed mode (secrets) holds whatever the old file's was; otherwise the old file's is kept.
    if (options.fixedMode >= 0) {
        if (::fchmod(fd, createMode) != 0) return fail(errno);
    } else if (hadOld && ::fchmod(fd, old.st_mode & 07777) != 0) {
        return fail(errno);
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
    return 0;
}

}  // namespace qora
