// qora-sim: instrument simulator for one serial line.
//
// Opens a pseudo-terminal (or a given device), prints the path the program
// under test opens on stdout as its first line, and answers read requests
// (B5 addr n 2F params... checksum) for the configured devices. The frame
// code here is written independently of comm/ on purpose, so that a mistake
// there does not hide itself.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const char* const kHelp = R"(Usage: qora-sim [OPTIONS]

Instrument simulator for one serial line. Opens a pseudo-terminal (or the
device given with --port), prints the path to open on stdout as its first
line, and answers read requests for the configured devices.

Options:
  --device ADDR:P=GEN[,P=GEN...]
        A device at bus address ADDR (1..254) offering parameters P (0..255)
        with these value generators:
          const:V               the constant V
          ramp:FROM:TO:STEP     FROM, FROM+STEP, ... one step per reply, back to
                                FROM after passing TO
          sine:MEAN:AMPL:PERIOD MEAN + AMPL*sin(2*pi*t/PERIOD), t in seconds
                                since the start
          novalue               the no-value pattern FF FF FF
        Requested parameters the device does not offer are left out of the
        reply. Repeat --device for several devices on the line.
  --fault ADDR:KIND[:ARG]
        Fault injection for the device at ADDR (repeatable, they combine):
          silent                never answer
          silent-after:N        answer the first N requests, then never
          bad-checksum          replies carry a wrong checksum
          reply-code:HEX        use this reply code instead of AF
                                (2F or 9F are refused by the receiver)
          chunks:SIZE:DELAY_MS  send replies in pieces of SIZE bytes,
                                DELAY_MS apart
          garbage[:HEX]         send these bytes before every reply
                                (default 0013)
          novalue:P[,P...]      FF FF FF for these parameters
  --link PATH       make PATH a symbolic link to the pseudo-terminal
                    (replaced if it exists, removed at exit)
  --port DEVICE     use DEVICE (a serial port, one end of a virtual pair)
                    instead of a pseudo-terminal; set to 19200 8N2 raw
  --flood           send the replies of every device continuously, unasked
  --verbose         log requests and replies on stderr
  --help            this text

Example:
  qora-sim --link /tmp/x/ttySIM1 --device 1:0=const:1.5,2=ramp:0:100:0.5 \
           --device 2:0=sine:50:10:60 --fault 2:silent-after:20

Numbers use a full stop as decimal separator. SIGTERM and SIGINT end the
program cleanly (exit status 0).
)";

enum class GenKind { Const, Ramp, Sine, NoValue };

struct Generator {
    GenKind kind = GenKind::Const;
    double a = 0, b = 0, c = 0;
    long steps = 0;
};

struct Device {
    int address = 0;
    std::map<int, Generator> params;
    bool silent = false;
    long silentAfter = -1;
    bool badChecksum = false;
    int replyCode = 0xAF;
    int chunkSize = 0;
    int chunkDelayMs = 0;
    std::vector<uint8_t> garbage;
    std::set<int> noValue;
    long requests = 0;
};

struct Segment {
    Clock::time_point due;
    std::vector<uint8_t> bytes;
};

[[noreturn]] void Fail(const std::string& text) {
    std::fprintf(stderr, "qora-sim: %s\n", text.c_str());
    std::exit(2);
}

std::vector<std::string> Split(const std::string& s, char sep) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t pos = s.find(sep, start);
        out.push_back(s.substr(start, pos == std::string::npos ? std::string::npos : pos - start));
        if (pos == std::string::npos) break;
        start = pos + 1;
    }
    return out;
}

double ParseNumber(const std::string& s, const std::string& what) {
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(s.c_str(), &end);
    if (s.empty() || *end != '\0' || errno != 0 || !std::isfinite(v))
        Fail("bad number '" + s + "' in " + what);
    return v;
}

long ParseInt(const std::string& s, long lo, long hi, const std::string& what, int base = 10) {
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(s.c_str(), &end, base);
    if (s.empty() || *end != '\0' || errno != 0 || v < lo || v > hi) Fail("bad value '" + s + "' in " + what);
    return v;
}

std::vector<uint8_t> ParseHex(const std::string& s, const std::string& what) {
    std::string digits;
    for (char ch : s)
        if (ch != ',' && ch != ' ') digits += ch;
    if (digits.empty() || digits.size() % 2 != 0) Fail("bad hex bytes '" + s + "' in " + what);
    std::vector<uint8_t> out;
    for (size_t i = 0; i < digits.size(); i += 2)
        out.push_back(static_cast<uint8_t>(ParseInt(digits.substr(i, 2), 0, 255, what, 16)));
    return out;
}

Device& DeviceAt(std::map<int, Device>& devices, int address) {
    Device& d = devices[address];
    d.address = address;
    return d;
}

void ParseDevice(std::map<int, Device>& devices, const std::string& arg) {
    const size_t colon = arg.find(':');
    if (colon == std::string::npos) Fail("--device needs ADDR:P=GEN[,...]: '" + arg + "'");
    Device& d =
        DeviceAt(devices, static_cast<int>(ParseInt(arg.substr(0, colon), 1, 254, "--device address")));
    for (const std::string& item : Split(arg.substr(colon + 1), ',')) {
        const size_t eq = item.find('=');
        if (eq == std::string::npos) Fail("--device parameter needs P=GEN: '" + item + "'");
        const int param = static_cast<int>(ParseInt(item.substr(0, eq), 0, 255, "--device parameter"));
        const std::vector<std::string> f = Split(item.substr(eq + 1), ':');
        Generator g;
        if (f[0] == "const" && f.size() == 2) {
            g.kind = GenKind::Const;
            g.a = ParseNumber(f[1], item);
        } else if (f[0] == "ramp" && f.size() == 4) {
            g.kind = GenKind::Ramp;
            g.a = ParseNumber(f[1], item);
            g.b = ParseNumber(f[2], item);
            g.c = ParseNumber(f[3], item);
        } else if (f[0] == "sine" && f.size() == 4) {
            g.kind = GenKind::Sine;
            g.a = ParseNumber(f[1], item);
            g.b = ParseNumber(f[2], item);
            g.c = ParseNumber(f[3], item);
            if (g.c <= 0) Fail("sine period must be positive: '" + item + "'");
        } else if (f[0] == "novalue" && f.size() == 1) {
            g.kind = GenKind::NoValue;
        } else {
            Fail("unknown generator '" + item.substr(eq + 1) + "'");
        }
        d.params[param] = g;
    }
}

void ParseFault(std::map<int, Device>& devices, const std::string& arg) {
    const std::vector<std::string> f = Split(arg, ':');
    if (f.size() < 2) Fail("--fault needs ADDR:KIND[:ARG]: '" + arg + "'");
    Device& d = DeviceAt(devices, static_cast<int>(ParseInt(f[0], 1, 254, "--fault address")));
    const std::string& kind = f[1];
    if (kind == "silent" && f.size() == 2) {
        d.silent = true;
    } else if (kind == "silent-after" && f.size() == 3) {
        d.silentAfter = ParseInt(f[2], 0, LONG_MAX, arg);
    } else if (kind == "bad-checksum" && f.size() == 2) {
        d.badChecksum = true;
    } else if (kind == "reply-code" && f.size() == 3) {
        d.replyCode = static_cast<int>(ParseInt(f[2], 0, 255, arg, 16));
    } else if (kind == "chunks" && f.size() == 4) {
        d.chunkSize = static_cast<int>(ParseInt(f[2], 1, 1000, arg));
        d.chunkDelayMs = static_cast<int>(ParseInt(f[3], 0, 60000, arg));
    } else if (kind == "garbage" && (f.size() == 2 || f.size() == 3)) {
        d.garbage = f.size() == 3 ? ParseHex(f[2], arg) : std::vector<uint8_t>{0x00, 0x13};
    } else if (kind == "novalue" && f.size() == 3) {
        for (const std::string& p : Split(f[2], ','))
            d.noValue.insert(static_cast<int>(ParseInt(p, 0, 255, arg)));
    } else {
        Fail("unknown fault '" + arg + "'");
    }
}

uint8_t Sum(const std::vector<uint8_t>& frame, size_t from, size_t to) {
    unsigned sum = 0;
    for (size_t i = from; i < to; ++i) sum += frame[i];
    return static_cast<uint8_t>(sum);
}

class Simulator {
  public:
    Simulator(int fd, std::map<int, Device> devices, bool flood, bool verbose)
        : fd_(fd), devices_(std::move(devices)), flood_(flood), verbose_(verbose), start_(Clock::now()) {}

    int Run(int sigFd);

  private:
    void Feed(const uint8_t* bytes, size_t n);
    void HandleRequest(int address, const std::vector<int>& params);
    std::vector<uint8_t> BuildReply(Device& d, const std::vector<int>& params);
    double Value(Generator& g);
    void Enqueue(const Device& d, std::vector<uint8_t> bytes);
    bool Flush();

    int fd_;
    std::map<int, Device> devices_;
    bool flood_;
    bool verbose_;
    Clock::time_point start_;
    std::vector<uint8_t> rx_;
    std::deque<Segment> out_;
    size_t outOffset_ = 0;
};

double Simulator::Value(Generator& g) {
    switch (g.kind) {
        case GenKind::Const:
            return g.a;
        case GenKind::Ramp: {
            double v = g.a + g.c * static_cast<double>(g.steps++);
            if ((g.c >= 0 && v > g.b) || (g.c < 0 && v < g.b)) {
                g.steps = 1;
                v = g.a;
            }
            return v;
        }
        case GenKind::Sine: {
            const double t = std::chrono::duration<double>(Clock::now() - start_).count();
            return g.a + g.b * std::sin(2.0 * M_PI * t / g.c);
        }
        case GenKind::NoValue:
            return 0;
    }
    return 0;
}

std::vector<uint8_t> Simulator::BuildReply(Device& d, const std::vector<int>& params) {
    std::vector<uint8_t> frame = {0xB5, static_cast<uint8_t>(d.address), 0,
                                  static_cast<uint8_t>(d.replyCode)};
    int groups = 0;
    for (int p : params) {
        auto it = d.params.find(p);
        if (it == d.params.end()) continue;
        if (groups == 61) break;  // the reply's data stays within 244 bytes
        ++groups;
        frame.push_back(static_cast<uint8_t>(p));
        if (it->second.kind == GenKind::NoValue || d.noValue.count(p) != 0) {
            frame.insert(frame.end(), {0xFF, 0xFF, 0xFF});
            continue;
        }
        const float v = static_cast<float>(Value(it->second));
        uint32_t bits = 0;
        std::memcpy(&bits, &v, sizeof bits);
        frame.push_back(static_cast<uint8_t>(bits >> 8));
        frame.push_back(static_cast<uint8_t>(bits >> 16));
        frame.push_back(static_cast<uint8_t>(bits >> 24));
    }
    frame[2] = static_cast<uint8_t>(frame.size() - 4);
    uint8_t sum = Sum(frame, 1, frame.size());
    if (d.badChecksum) sum = static_cast<uint8_t>(sum + 1);
    frame.push_back(sum);
    return frame;
}

void Simulator::Enqueue(const Device& d, std::vector<uint8_t> bytes) {
    if (!d.garbage.empty()) bytes.insert(bytes.begin(), d.garbage.begin(), d.garbage.end());
    Clock::time_point base = Clock::now();
    if (!out_.empty() && out_.back().due > base) base = out_.back().due;
    if (d.chunkSize <= 0) {
        out_.push_back({base, std::move(bytes)});
        return;
    }
    for (size_t pos = 0, k = 0; pos < bytes.size(); pos += static_cast<size_t>(d.chunkSize), ++k) {
        const size_t end = std::min(bytes.size(), pos + static_cast<size_t>(d.chunkSize));
        out_.push_back({base + std::chrono::milliseconds(static_cast<long>(k) * d.chunkDelayMs),
                        std::vector<uint8_t>(bytes.begin() + static_cast<long>(pos),
                                             bytes.begin() + static_cast<long>(end))});
    }
}

void Simulator::HandleRequest(int address, const std::vector<int>& params) {
    auto it = devices_.find(address);
    if (verbose_) {
        std::fprintf(stderr, "request addr %d, %zu parameters%s\n", address, params.size(),
                     it == devices_.end() ? " (no such device)" : "");
    }
    if (it == devices_.end()) return;
    Device& d = it->second;
    ++d.requests;
    if (d.silent || (d.silentAfter >= 0 && d.requests > d.silentAfter)) return;
    std::vector<uint8_t> reply = BuildReply(d, params);
    if (verbose_) std::fprintf(stderr, "reply addr %d, %zu bytes\n", address, reply.size());
    Enqueue(d, std::move(reply));
}

void Simulator::Feed(const uint8_t* bytes, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        rx_.push_back(bytes[i]);
        if (rx_[0] != 0xB5) {
            rx_.clear();
            continue;
        }
        if (rx_.size() < 3) continue;
        const size_t length = size_t{rx_[2]} + 5;
        if (rx_.size() < length) continue;
        const bool good = Sum(rx_, 1, length - 1) == rx_[length - 1] && rx_[3] == 0x2F;
        if (good) {
            std::vector<int> params(rx_.begin() + 4, rx_.begin() + static_cast<long>(length) - 1);
            HandleRequest(rx_[1], params);
        } else if (verbose_) {
            std::fprintf(stderr, "dropped a bad request frame of %zu bytes\n", length);
        }
        rx_.clear();
    }
}

// Writes what is due; false when the line is gone.
bool Simulator::Flush() {
    const auto now = Clock::now();
    while (!out_.empty() && out_.front().due <= now) {
        Segment& s = out_.front();
        ssize_t w = ::write(fd_, s.bytes.data() + outOffset_, s.bytes.size() - outOffset_);
        if (w < 0) {
            if (errno == EINTR) continue;
            return errno == EAGAIN;
        }
        outOffset_ += static_cast<size_t>(w);
        if (outOffset_ == s.bytes.size()) {
            out_.pop_front();
            outOffset_ = 0;
        }
    }
    return true;
}

int Simulator::Run(int sigFd) {
    std::vector<int> allParams;
    for (int p = 0; p < 256; ++p) allParams.push_back(p);
    for (;;) {
        if (flood_ && out_.empty()) {
            for (auto& [address, d] : devices_) {
                if (!d.silent) Enqueue(d, BuildReply(d, allParams));
            }
        }
        int timeout = -1;
        bool wantOut = false;
        if (!out_.empty()) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(out_.front().due - Clock::now())
                    .count();
            if (left <= 0) {
                wantOut = true;
            } else {
                timeout = static_cast<int>(std::min<long long>(left + 1, INT_MAX));
            }
        }
        pollfd fds[2] = {{fd_, static_cast<short>(POLLIN | (wantOut ? POLLOUT : 0)), 0}, {sigFd, POLLIN, 0}};
        int r = ::poll(fds, 2, timeout);
        if (r < 0) {
            if (errno == EINTR) continue;
            std::perror("qora-sim: poll");
            return 1;
        }
        if (fds[1].revents & POLLIN) return 0;
        if (fds[0].revents & POLLIN) {
            uint8_t buf[4096];
            ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n > 0) {
                Feed(buf, static_cast<size_t>(n));
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                std::fprintf(stderr, "qora-sim: the line is gone\n");
                return 1;
            }
        } else if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            std::fprintf(stderr, "qora-sim: the line hung up\n");
            return 1;
        }
        if (!Flush()) {
            std::fprintf(stderr, "qora-sim: write failed: %s\n", std::strerror(errno));
            return 1;
        }
    }
}

void MakeRaw(int fd) {
    termios t{};
    if (::tcgetattr(fd, &t) < 0) Fail(std::string("tcgetattr: ") + std::strerror(errno));
    ::cfmakeraw(&t);
    ::cfsetispeed(&t, B19200);
    ::cfsetospeed(&t, B19200);
    t.c_cflag &= ~(CSIZE | PARENB | CRTSCTS);
    t.c_cflag |= CS8 | CSTOPB | CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &t) < 0) Fail(std::string("tcsetattr: ") + std::strerror(errno));
}

void MakeLink(const std::string& target, const std::string& link) {
    const std::string tmp = link + ".tmp" + std::to_string(::getpid());
    ::unlink(tmp.c_str());
    if (::symlink(target.c_str(), tmp.c_str()) < 0 || ::rename(tmp.c_str(), link.c_str()) < 0) {
        int err = errno;
        ::unlink(tmp.c_str());
        Fail("cannot link " + link + ": " + std::strerror(err));
    }
}

void RemoveLinkIfOurs(const std::string& target, const std::string& link) {
    char buf[PATH_MAX];
    ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
    if (n < 0) return;
    buf[n] = '\0';
    if (target == buf) ::unlink(link.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    std::map<int, Device> devices;
    std::string link, port;
    bool flood = false, verbose = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](const char* name) -> std::string {
            if (i + 1 >= argc) Fail(std::string(name) + " needs a value");
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            std::fputs(kHelp, stdout);
            return 0;
        } else if (a == "--device") {
            ParseDevice(devices, value("--device"));
        } else if (a == "--fault") {
            ParseFault(devices, value("--fault"));
        } else if (a == "--link") {
            link = value("--link");
        } else if (a == "--port") {
            port = value("--port");
        } else if (a == "--flood") {
            flood = true;
        } else if (a == "--verbose") {
            verbose = true;
        } else {
            Fail("unknown option '" + a + "' (see --help)");
        }
    }

    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGHUP);
    if (sigprocmask(SIG_BLOCK, &mask, nullptr) < 0) Fail("sigprocmask");
    ::signal(SIGPIPE, SIG_IGN);
    const int sigFd = ::signalfd(-1, &mask, SFD_CLOEXEC);
    if (sigFd < 0) Fail(std::string("signalfd: ") + std::strerror(errno));

    int fd = -1;
    int slaveKeep = -1;
    std::string path;
    if (port.empty()) {
        fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0 || ::grantpt(fd) < 0 || ::unlockpt(fd) < 0)
            Fail(std::string("pseudo-terminal: ") + std::strerror(errno));
        const char* name = ::ptsname(fd);
        if (name == nullptr) Fail("ptsname");
        path = name;
        // Holding the slave open keeps the master readable while the program
        // under test has its port closed (no EIO in between).
        slaveKeep = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slaveKeep < 0) Fail("cannot open " + path + ": " + std::strerror(errno));
        MakeRaw(slaveKeep);
    } else {
        fd = ::open(port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) Fail("cannot open " + port + ": " + std::strerror(errno));
        MakeRaw(fd);
        path = port;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    if (!link.empty()) MakeLink(path, link);

    std::printf("%s\n", path.c_str());
    std::fflush(stdout);

    Simulator sim(fd, std::move(devices), flood, verbose);
    const int rc = sim.Run(sigFd);
    if (!link.empty()) RemoveLinkIfOurs(path, link);
    if (slaveKeep >= 0) ::close(slaveKeep);
    ::close(fd);
    return rc;
}
