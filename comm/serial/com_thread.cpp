#include "comm/serial/com_thread.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace qora {

namespace {

constexpr unsigned long long kDoneWithBytes = 1;
constexpr unsigned long long kDoneEmpty = 2;
// Pause after a hand-over that found nothing queued (a readable port with no
// bytes is a condition the next poll reports at once again).
constexpr int kEmptyPauseMs = 20;

}  // namespace

TComThread::TComThread(int fd, int requestFd) : fd_(fd), requestFd_(requestFd) {
    stopFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    doneFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopFd_ < 0 || doneFd_ < 0) {
        int err = errno;
        if (stopFd_ >= 0) ::close(stopFd_);
        if (doneFd_ >= 0) ::close(doneFd_);
        throw std::system_error(err, std::generic_category(), "eventfd");
    }
}

TComThread::~TComThread() {
    Stop();
    ::close(stopFd_);
    ::close(doneFd_);
}

void TComThread::Start() {
    thread_ = std::thread([this] { Run(); });
}

void TComThread::Stop() {
    if (!thread_.joinable()) return;
    Signal(stopFd_, 1);
    thread_.join();
}

void TComThread::HandOverDone(bool bytesWereQueued) {
    Signal(doneFd_, bytesWereQueued ? kDoneWithBytes : kDoneEmpty);
}

void TComThread::Signal(int efd, unsigned long long value) {
    while (::write(efd, &value, sizeof value) < 0 && errno == EINTR) {
    }
}

unsigned long long TComThread::WaitDone() {
    for (;;) {
        pollfd fds[2] = {{doneFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
        int r = ::poll(fds, 2, -1);
        if (r < 0) {
            if (errno == EINTR) continue;
            return 0;
        }
        if (fds[1].revents != 0) return 0;
        unsigned long long v = 0;
        if (::read(doneFd_, &v, sizeof v) == static_cast<ssize_t>(sizeof v)) return v;
    }
}

void TComThread::Run() {
    for (;;) {
        // POLLERR, POLLHUP and POLLNVAL are reported without being asked for.
        pollfd fds[2] = {{fd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
        int r = ::poll(fds, 2, -1);
        if (r < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents != 0) return;
        const short re = fds[0].revents;
        if (re & POLLIN) {
            Signal(requestFd_, 1);
            unsigned long long done = WaitDone();
            if (done == 0) return;  // stopped
            if (done >= kDoneEmpty && !(re & (POLLERR | POLLHUP | POLLNVAL))) {
                pollfd s = {stopFd_, POLLIN, 0};
                if (::poll(&s, 1, kEmptyPauseMs) > 0) return;
            }
        }
        if (re & (POLLERR | POLLHUP | POLLNVAL)) break;
    }
    // Hang-up or error: report it and end; the owner closes the port.
    hangUp_.store(true, std::memory_order_release);
    Signal(requestFd_, 1);
}

}  // namespace qora
