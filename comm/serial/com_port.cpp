#include "comm/serial/com_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <chrono>

#include "comm/serial/com_thread.h"
#include "comm/serial/ecomport.h"

namespace qora {

namespace {

speed_t SpeedConstant(uint8_t code) {
    switch (code) {
        case TComPort::br110:
            return B110;
        case TComPort::br300:
            return B300;
        case TComPort::br600:
            return B600;
        case TComPort::br1200:
            return B1200;
        case TComPort::br2400:
            return B2400;
        case TComPort::br4800:
            return B4800;
        case TComPort::br9600:
            return B9600;
        case TComPort::br19200:
            return B19200;
        case TComPort::br38400:
            return B38400;
        case TComPort::br57600:
            return B57600;
        case TComPort::br115200:
            return B115200;
        // 14400, 56000, 128000, 256000 and custom rates have no termios constant.
        default:
            return B0;
    }
}

tcflag_t SizeFlag(uint8_t code) {
    switch (code) {
        case TComPort::dbFive:
            return CS5;
        case TComPort::dbSix:
            return CS6;
        case TComPort::dbSeven:
            return CS7;
        default:
            return CS8;
    }
}

// Closes a descriptor of ours, leaving exclusive mode first: the mode outlives
// the descriptor while another one stays open (a simulator holding the slave),
// and a later open by a user without CAP_SYS_ADMIN would get EBUSY.
void CloseLine(int fd) {
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
}

// An error of the line itself: the device is gone or the line hung up.
bool IsLineGone(int err) {
    return err == EIO || err == ENXIO || err == ENODEV || err == EPIPE || err == EBADF;
}

}  // namespace

int TComPort::BaudRateValue(uint8_t code) {
    static constexpr int kRates[] = {0,     110,   300,   600,   1200,  2400,   4800,   9600,
                                     14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
    return code < std::size(kRates) ? kRates[code] : 0;
}

int TComPort::DataBitsValue(uint8_t code) {
    return code <= dbEight ? 5 + code : 0;
}

TComPort::TComPort(QObject* owner) : QObject(owner) {}

TComPort::~TComPort() {
    // No connectedChanged from a destructor: its receivers may be gone already.
    blockSignals(true);
    DoClose();
    delete notifier_;
    if (requestFd_ >= 0) ::close(requestFd_);
}

void TComPort::SetPortName(const std::string& name) {
    if (name == portName_) return;
    portName_ = name;
    if (Connected()) {
        DoClose();
        DoOpen();
    }
}

void TComPort::SetDevicePath(const std::string& path) {
    if (path == devicePath_) return;
    devicePath_ = path;
    if (Connected()) {
        DoClose();
        DoOpen();
    }
}

std::string TComPort::EffectivePath() const {
    return devicePath_.empty() ? "/dev/" + portName_ : devicePath_;
}

void TComPort::SetBaudRate(uint8_t code) {
    baudRate_ = code;
    ApplyIfOpen();
}
void TComPort::SetDataBits(uint8_t code) {
    dataBits_ = code;
    ApplyIfOpen();
}
void TComPort::SetParity(uint8_t code) {
    parity_ = code;
    ApplyIfOpen();
}
void TComPort::SetStopBits(uint8_t code) {
    stopBits_ = code;
    ApplyIfOpen();
}

void TComPort::ApplyIfOpen() {
    if (Connected()) ApplySettings();
}

void TComPort::SetConnected(bool connected) {
    if (connected == Connected()) return;
    if (connected) {
        DoOpen();
    } else {
        DoClose();
    }
}

void TComPort::DoOpen() {
    const std::string path = EffectivePath();
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw EComPort(EComPort::kOpen, errno);
    // flock refuses a second opener whoever it is (TIOCEXCL does not stop root).
    if (::flock(fd, LOCK_EX | LOCK_NB) < 0) {
        int err = errno;
        ::close(fd);
        throw EComPort(EComPort::kOpen, err);
    }
    ::ioctl(fd, TIOCEXCL);
    fd_ = fd;
    try {
        ApplySettings();
        // DTR and RTS held off; a pseudo-terminal answers ENOTTY/EINVAL, which is fine.
        int lines = TIOCM_DTR | TIOCM_RTS;
        ::ioctl(fd_, TIOCMBIC, &lines);
        // Nothing received before this open (or before an earlier close) is delivered.
        if (::tcflush(fd_, TCIOFLUSH) < 0) throw EComPort(EComPort::kPurgeComm, errno);
        if (requestFd_ < 0) {
            requestFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
            if (requestFd_ < 0) throw EComPort(EComPort::kInvalidAsync, errno);
            notifier_ = new QSocketNotifier(static_cast<qintptr>(requestFd_), QSocketNotifier::Read, this);
            connect(notifier_, &QSocketNotifier::activated, this, [this] { HandOver(); });
        }
        // A request left over from the previous event thread is void.
        uint64_t stale = 0;
        [[maybe_unused]] ssize_t r = ::read(requestFd_, &stale, sizeof stale);
        thread_ = std::make_unique<TComThread>(fd_, requestFd_);
        ++generation_;
        thread_->Start();
    } catch (const std::system_error& e) {
        thread_.reset();
        CloseLine(fd_);
        fd_ = -1;
        throw EComPort(EComPort::kInvalidAsync, e.code().value());
    } catch (...) {
        thread_.reset();
        CloseLine(fd_);
        fd_ = -1;
        throw;
    }
    emit connectedChanged(true);
}

void TComPort::DoClose() {
    if (fd_ < 0) return;
    // The event thread ends on its stop event whatever it waits for.
    if (thread_) thread_->Stop();
    thread_.reset();
    // Drop pending transfers (so that close does not wait for output to drain);
    // on a line that hung up this fails and does not matter.
    ::tcflush(fd_, TCIOFLUSH);
    CloseLine(fd_);
    fd_ = -1;
    emit connectedChanged(false);
}

void TComPort::ApplySettings() {
    termios t{};
    if (::tcgetattr(fd_, &t) < 0) throw EComPort(EComPort::kSetCommState, errno);
    const speed_t speed = SpeedConstant(baudRate_);
    if (speed == B0 || dataBits_ > dbEight || parity_ > prSpace || stopBits_ > sbTwoStopBits)
        throw EComPort(EComPort::kSetCommState, EINVAL);
    ::cfmakeraw(&t);
    ::cfsetispeed(&t, speed);
    ::cfsetospeed(&t, speed);
    t.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD | SizeFlag(dataBits_);
    // 1.5 stop bits do not exist here; the nearest is two.
    if (stopBits_ != sbOneStopBit) t.c_cflag |= CSTOPB;
    switch (parity_) {
        case prOdd:
            t.c_cflag |= PARENB | PARODD;
            break;
        case prEven:
            t.c_cflag |= PARENB;
            break;
        case prMark:
            t.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case prSpace:
            t.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    t.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | ISTRIP | IGNPAR | PARMRK);
    t.c_cc[VSTART] = 0x11;
    t.c_cc[VSTOP] = 0x13;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (::tcsetattr(fd_, TCSANOW, &t) < 0) throw EComPort(EComPort::kSetCommState, errno);
    // tcsetattr succeeds when any part was taken: read the settings back.
    termios back{};
    if (::tcgetattr(fd_, &back) < 0) throw EComPort(EComPort::kSetCommState, errno);
    const tcflag_t kCheck = CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS;
    if ((back.c_cflag & kCheck) != (t.c_cflag & kCheck) || (back.c_iflag & (IXON | IXOFF)) != 0 ||
        (back.c_lflag & (ICANON | ECHO)) != 0 || back.c_cc[VMIN] != 0 || back.c_cc[VTIME] != 0 ||
        ::cfgetospeed(&back) != speed)
        throw EComPort(EComPort::kSetCommState, EINVAL);
}

int TComPort::Write(const void* buffer, int count) {
    if (fd_ < 0) throw EComPort(EComPort::kWriteFile, EBADF);
    if (count <= 0) return 0;
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kWriteTotalConstantMs +
                                                                   int64_t{kWriteTotalMultiplierMs} * count);
    const auto* p = static_cast<const uint8_t*>(buffer);
    int written = 0;
    while (written < count) {
        ssize_t n = ::write(fd_, p + written, static_cast<size_t>(count - written));
        if (n > 0) {
            written += static_cast<int>(n);
            continue;
        }
        int err = n < 0 ? errno : EAGAIN;
        if (err == EINTR) continue;
        if (err != EAGAIN) {
            DoClose();
            throw EComPort(EComPort::kWriteFile, err);
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;  // timed out: the count written so far
        pollfd pfd = {fd_, POLLOUT, 0};
        int r = ::poll(&pfd, 1, static_cast<int>(left));
        if (r < 0 && errno != EINTR) {
            err = errno;
            DoClose();
            throw EComPort(EComPort::kWriteFile, err);
        }
        if (r > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL))) {
            DoClose();
            throw EComPort(EComPort::kWriteFile, EIO);
        }
    }
    return written;
}

int TComPort::Read(void* buffer, int count) {
    if (fd_ < 0) throw EComPort(EComPort::kReadFile, EBADF);
    auto* p = static_cast<uint8_t*>(buffer);
    int total = 0;
    while (total < count) {
        ssize_t n = ::read(fd_, p + total, static_cast<size_t>(count - total));
        if (n > 0) {
            total += static_cast<int>(n);
            continue;
        }
        if (n == 0) {
            // With VMIN = VTIME = 0 a tty answers 0 when its queue is empty: nothing more is
            // queued. A line that hung up answers 0 as well, and poll tells it apart (POLLHUP,
            // the event thread's sign too).
            pollfd pfd = {fd_, 0, 0};
            if (::poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL))) DoClose();
            break;
        }
        int err = errno;
        if (err == EINTR) continue;
        if (err == EAGAIN) break;
        DoClose();
        if (total > 0 && IsLineGone(err)) break;  // hand out what was read before the failure
        throw EComPort(EComPort::kReadFile, err);
    }
    return total;
}

void TComPort::DiscardInput() {
    uint8_t scratch[512];
    while (fd_ >= 0 && Read(scratch, sizeof scratch) == static_cast<int>(sizeof scratch)) {
    }
}

void TComPort::HandOver() {
    uint64_t requests = 0;
    if (::read(requestFd_, &requests, sizeof requests) != static_cast<ssize_t>(sizeof requests)) return;
    if (!thread_) return;  // closed meanwhile
    const uint64_t generation = generation_;
    if (thread_->HangUpReported()) {
        DoClose();
        return;
    }
    bool queued = false;
    try {
        int count = 0;
        if (::ioctl(fd_, FIONREAD, &count) < 0) {
            DoClose();  // the line failed
            return;
        }
        queued = count > 0;
        if (queued) {
            if (onRxChar_) {
                onRxChar_(this, count);
            } else {
                DiscardInput();  // nobody takes them: do not hand them over forever
            }
        }
    } catch (const EComPort&) {
        // A read failure closed the port already; nothing else to do here.
    }
    // The handler may have closed (and even reopened) the port: answer only the thread that asked.
    if (thread_ && generation_ == generation) thread_->HandOverDone(queued);
}

}  // namespace qora
