// A directory this test thread cannot write into, even when the tests run as root: its mode is
// set to 0555 and, for root, the capabilities that bypass file modes (CAP_DAC_OVERRIDE,
// CAP_DAC_READ_SEARCH, CAP_FOWNER) leave the thread's effective set until the end of the scope.
// Threads started meanwhile inherit the reduced set.
#pragma once

#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QByteArray>
#include <QFile>
#include <QString>

namespace qora::test {

class TReadOnlyDirectory {
  public:
    explicit TReadOnlyDirectory(const QString& path) : path_(QFile::encodeName(path)) {
        struct stat st {};
        if (::stat(path_.constData(), &st) != 0) return;
        oldMode_ = st.st_mode & 07777;
        if (::chmod(path_.constData(), 0555) != 0) return;
        ok_ = true;
        if (::geteuid() != 0) return;
        header_.version = _LINUX_CAPABILITY_VERSION_3;
        header_.pid = 0;
        if (::syscall(SYS_capget, &header_, saved_) != 0) {
            ok_ = false;
            return;
        }
        __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
        reduced[0].effective &=
            ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH) | (1u << CAP_FOWNER));
        dropped_ = ::syscall(SYS_capset, &header_, reduced) == 0;
        ok_ = dropped_;
    }
    ~TReadOnlyDirectory() {
        if (dropped_) (void)::syscall(SYS_capset, &header_, saved_);
        if (oldMode_ >= 0) (void)::chmod(path_.constData(), static_cast<mode_t>(oldMode_));
    }
    TReadOnlyDirectory(const TReadOnlyDirectory&) = delete;
    TReadOnlyDirectory& operator=(const TReadOnlyDirectory&) = delete;

    // False when the directory could not be made read-only for this thread.
    bool Ok() const { return ok_; }

  private:
    QByteArray path_;
    int oldMode_ = -1;
    bool ok_ = false;
    bool dropped_ = false;
    __user_cap_header_struct header_{};
    __user_cap_data_struct saved_[2]{};
};

}  // namespace qora::test
