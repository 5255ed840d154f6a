// The endpoint's network side: a listening socket and its connections served by one network
// thread with poll(), driving the protocol engine. Public calls from other threads post commands
// to that thread through a queue and an eventfd. Password checks (a slow hash) run on a worker
// thread of their own, whose results come back to the network thread the same way.
#include "ua/net/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>

#include "ua/engine/engine.h"

namespace qora::ua {

namespace {

constexpr size_t kReadChunk = 65536;
constexpr int kReadsPerRound = 8;                 // fairness: bytes of one client per poll round
constexpr Millis kCloseLingerMs = 2000;           // a closing socket gets this long to flush
constexpr uint64_t kMinOutputBacklog = 4u << 20;  // a client that does not read is dropped beyond

Millis SteadyNow() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// The address of a peer as text (IPv4 ones seen on an IPv6 socket without their prefix): the
// key of its share of handshakes.
std::string PeerAddress(const sockaddr_storage& ss) {
    char text[INET6_ADDRSTRLEN] = {};
    if (ss.ss_family == AF_INET) {
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&ss)->sin_addr, text, sizeof text);
    } else if (ss.ss_family == AF_INET6) {
        const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(&ss)->sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&a))
            ::inet_ntop(AF_INET, a.s6_addr + 12, text, sizeof text);
        else
            ::inet_ntop(AF_INET6, &a, text, sizeof text);
    }
    return text;
}

std::string ErrnoText(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

// One thread that runs the engine's password checks in turn. The engine bounds how many wait; the
// results are collected here and taken by the network thread, woken through wakeFd.
class PasswordWorker final : public PasswordCheckExecutor {
  public:
    explicit PasswordWorker(int wakeFd) : wakeFd_(wakeFd), thread_([this] { Loop(); }) {}
    ~PasswordWorker() override {
        {
            std::lock_guard<std::mutex> lock(mu_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    PasswordWorker(const PasswordWorker&) = delete;
    PasswordWorker& operator=(const PasswordWorker&) = delete;

    void Run(uint64_t ticket, std::function<bool()> check) override {
        {
            std::lock_guard<std::mutex> lock(mu_);
            jobs_.push_back({ticket, std::move(check)});
        }
        cv_.notify_one();
    }
    // The results since the last call: ticket and whether the password passed.
    std::vector<std::pair<uint64_t, bool>> TakeResults() {
        std::lock_guard<std::mutex> lock(mu_);
        return std::exchange(results_, {});
    }

  private:
    void Loop() {
        std::unique_lock<std::mutex> lock(mu_);
        for (;;) {
            cv_.wait(lock, [&] { return stop_ || !jobs_.empty(); });
            if (stop_) return;
            auto [ticket, check] = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            const bool passed = check();
            check = nullptr;  // the password goes with it
            lock.lock();
            results_.emplace_back(ticket, passed);
            uint64_t one = 1;
            [[maybe_unused]] ssize_t w = ::write(wakeFd_, &one, sizeof one);
        }
    }

    const int wakeFd_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<std::pair<uint64_t, std::function<bool()>>> jobs_;
    std::vector<std::pair<uint64_t, bool>> results_;
    bool stop_ = false;
    std::thread thread_;  // last: starts once the rest is made
};

}  // namespace

struct Server::Impl : Transport {
    enum class CommandKind { StopListening, DisconnectAll, Shutdown, Stop };
    struct Command {
        CommandKind kind;
        std::string reason;
        bool done = false;
    };
    // Why a bind failed: errno (0 for a host name that did not resolve) and the system's text.
    struct BindFailure {
        int error = 0;
        std::string text;
    };

    struct Socket {
        int fd = -1;
        std::string out;
        size_t outPos = 0;
        uint64_t charged = 0;
        bool closing = false;  // close once flushed
        Millis closeDeadline = 0;
        bool broken = false;  // drop at the next round
        std::unique_ptr<std::ofstream> record;
    };

    Impl(Backend& b, ServerConfig c) : backend(b), config(std::move(c)) {}

    Backend& backend;
    ServerConfig config;
    std::unique_ptr<Engine> engine;
    std::unique_ptr<PasswordWorker> passwords;
    int listenFd = -1;
    int wakeFd = -1;
    std::thread thread;
    std::atomic<std::thread::id> threadId{};
    std::atomic<bool> running{false};
    std::atomic<bool> listening{false};
    ListenObserver observer;
    // Bind retry state (network thread once it runs).
    bool retryingBind = false;
    Millis nextBindAttempt = 0;
    BindFailure firstFailure;  // told by the network thread as its first act
    bool reportFirstFailure = false;
    std::atomic<uint16_t> port{0};
    std::mutex mu;
    std::condition_variable cv;
    std::deque<std::shared_ptr<Command>> commands;
    std::deque<std::shared_ptr<Command>> commandsTaken;  // RunCommands' list (network thread)
    std::shared_ptr<Command> pendingShutdown;
    std::unordered_map<uint64_t, Socket> sockets;
    uint64_t nextConn = 1;
    uint64_t outputBacklogLimit = kMinOutputBacklog;

    // ---- Transport (called by the engine on the network thread)
    void Send(uint64_t conn, std::string_view bytes) override {
        auto it = sockets.find(conn);
        if (it == sockets.end() || it->second.broken) return;
        Socket& s = it->second;
        if (s.outPos == s.out.size()) {
            s.out.clear();
            s.outPos = 0;
            // Try at once: most responses leave in one write.
            ssize_t n = ::send(s.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                s.broken = true;
                return;
            }
            const size_t sent = n > 0 ? static_cast<size_t>(n) : 0;
            if (sent == bytes.size()) return;
            bytes.remove_prefix(sent);
        }
        if (s.out.size() - s.outPos + bytes.size() > outputBacklogLimit ||
            !engine->Memory().TryCharge(bytes.size())) {
            s.broken = true;  // the engine is told after it returns
            return;
        }
        s.charged += bytes.size();
        s.out.append(bytes);
    }

    void Close(uint64_t conn) override {
        auto it = sockets.find(conn);
        if (it == sockets.end()) return;
        it->second.closing = true;
        it->second.closeDeadline = SteadyNow() + kCloseLingerMs;
    }

    void DropSocket(uint64_t conn) {
        auto it = sockets.find(conn);
        if (it == sockets.end()) return;
        ::close(it->second.fd);
        engine->Memory().Release(it->second.charged);
        sockets.erase(it);
    }

    void Flush(Socket& s) {
        while (s.outPos < s.out.size()) {
            ssize_t n = ::send(s.fd, s.out.data() + s.outPos, s.out.size() - s.outPos, MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno != EAGAIN && errno != EWOULDBLOCK) s.broken = true;
                break;
            }
            s.outPos += static_cast<size_t>(n);
        }
        if (s.outPos == s.out.size() || s.outPos > (1u << 20)) {
            s.out.erase(0, s.outPos);
            const uint64_t released = std::min<uint64_t>(s.charged, s.outPos);
            engine->Memory().Release(released);
            s.charged -= released;
            s.outPos = 0;
        }
    }

    ListenState State(bool ok, const BindFailure& f) const {
        ListenState st;
        st.listening = ok;
        st.host = config.host;
        st.port = ok ? port.load() : config.port;
        st.error = ok ? 0 : f.error;
        st.reason = ok ? std::string() : f.text;
        return st;
    }

    void Notify(const ListenState& st) {
        if (observer) observer(st);
    }

    // One attempt to listen; on success listenFd is set.
    bool BindOnce(BindFailure& f) {
        const int fd = TryBind(f);
        if (fd < 0) return false;
        listenFd = fd;
        return true;
    }

    int TryBind(BindFailure& f) {
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
        hints.ai_family = config.host.empty() ? AF_INET6 : AF_UNSPEC;
        addrinfo* res = nullptr;
        const std::string service = std::to_string(config.port);
        int rc =
            ::getaddrinfo(config.host.empty() ? nullptr : config.host.c_str(), service.c_str(), &hints, &res);
        if (rc != 0 && config.host.empty()) {
            hints.ai_family = AF_INET;
            rc = ::getaddrinfo(nullptr, service.c_str(), &hints, &res);
        }
        if (rc != 0) {
            f.error = rc == EAI_SYSTEM ? errno : 0;
            f.text = rc == EAI_SYSTEM ? std::strerror(f.error) : gai_strerror(rc);
            return -1;
        }
        int fd = -1;
        int savedErrno = 0;
        for (addrinfo* a = res; a; a = a->ai_next) {
            fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
            if (fd < 0) {
                savedErrno = errno;
                continue;
            }
            int one = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            if (a->ai_family == AF_INET6 && config.host.empty()) {
                int zero = 0;  // all interfaces: IPv4 too
                ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
            }
            if (::bind(fd, a->ai_addr, a->ai_addrlen) == 0 && ::listen(fd, 128) == 0) break;
            savedErrno = errno;
            ::close(fd);
            fd = -1;
        }
        ::freeaddrinfo(res);
        if (fd < 0 && config.host.empty() && savedErrno == EAFNOSUPPORT) {
            // No IPv6 on this machine: IPv4 only.
            ServerConfig v4 = config;
            config.host = "0.0.0.0";
            fd = TryBind(f);
            config = v4;
            return fd;
        }
        if (fd < 0) {
            f.error = savedErrno;
            f.text = std::strerror(savedErrno);
            return -1;
        }
        sockaddr_storage ss{};
        socklen_t len = sizeof ss;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
        if (ss.ss_family == AF_INET)
            port = ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
        else
            port = ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
        return fd;
    }

    // While retrying: another attempt when it is due. Network thread.
    void RetryBind(Millis now) {
        if (!retryingBind || now < nextBindAttempt) return;
        BindFailure f;
        if (!BindOnce(f)) {
            nextBindAttempt = now + config.bindRetryMs;
            return;
        }
        retryingBind = false;
        listening = true;
        engine->SetPort(port);
        Notify(State(true, {}));
    }

    void Post(std::shared_ptr<Command> cmd, int waitMs) {
        {
            std::lock_guard<std::mutex> lock(mu);
            commands.push_back(cmd);
        }
        uint64_t one = 1;
        [[maybe_unused]] ssize_t w = ::write(wakeFd, &one, sizeof one);
        if (std::this_thread::get_id() == threadId || waitMs <= 0) return;  // never wait on ourselves
        std::unique_lock<std::mutex> lock(mu);
        cv.wait_for(lock, std::chrono::milliseconds(waitMs), [&] { return cmd->done; });
    }

    void Complete(const std::shared_ptr<Command>& cmd) {
        {
            std::lock_guard<std::mutex> lock(mu);
            cmd->done = true;
        }
        cv.notify_all();
    }

    void StopListeningNow() {
        if (listenFd >= 0) {
            ::close(listenFd);
            listenFd = -1;
        }
        listening = false;
        retryingBind = false;
    }

    // Returns false when the loop must end.
    bool RunCommands(Millis now) {
        // Kept between rounds: a deque allocates as it is made, and the loop turns once per request.
        std::deque<std::shared_ptr<Command>>& todo = commandsTaken;
        {
            std::lock_guard<std::mutex> lock(mu);
            todo.swap(commands);
        }
        bool keepRunning = true;
        for (auto& cmd : todo) {
            switch (cmd->kind) {
                case CommandKind::StopListening:
                    StopListeningNow();
                    Complete(cmd);
                    break;
                case CommandKind::DisconnectAll:
                    engine->DisconnectAll();
                    Complete(cmd);
                    break;
                case CommandKind::Shutdown:
                    engine->BeginShutdown(cmd->reason, now);
                    if (pendingShutdown) Complete(pendingShutdown);
                    pendingShutdown = cmd;
                    break;
                case CommandKind::Stop:
                    engine->CloseEverything();
                    keepRunning = false;
                    Complete(cmd);
                    break;
            }
        }
        todo.clear();
        return keepRunning;
    }

    void AcceptAll(Millis now) {
        for (;;) {
            sockaddr_storage peer{};
            socklen_t peerLength = sizeof peer;
            int fd = ::accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &peerLength,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) return;  // EAGAIN or a transient error; poll tells us again
            const uint64_t conn = nextConn++;
            if (!engine->Accept(conn, now, PeerAddress(peer))) {
                ::close(fd);  // handshake share, channel limit or memory budget
                continue;
            }
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            Socket& s = sockets[conn];
            s.fd = fd;
            if (!config.recordDirectory.empty())
                s.record = std::make_unique<std::ofstream>(
                    config.recordDirectory + "/conn-" + std::to_string(conn) + ".bin", std::ios::binary);
        }
    }

    void ReadSocket(uint64_t conn, Millis now) {
        static thread_local std::string buffer(kReadChunk, '\0');
        for (int round = 0; round < kReadsPerRound; ++round) {
            auto it = sockets.find(conn);
            if (it == sockets.end() || it->second.closing || it->second.broken) return;
            ssize_t n = ::recv(it->second.fd, buffer.data(), buffer.size(), 0);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                it->second.broken = true;
                return;
            }
            if (n < 0) return;
            if (it->second.record) it->second.record->write(buffer.data(), n);
            engine->Receive(conn, reinterpret_cast<const uint8_t*>(buffer.data()), static_cast<size_t>(n),
                            now);
            if (static_cast<size_t>(n) < buffer.size()) return;
        }
    }

    void Loop() {
        std::vector<pollfd> fds;
        std::vector<uint64_t> ids;
        Millis nextTimer = SteadyNow();
        if (reportFirstFailure) Notify(State(false, firstFailure));
        for (;;) {
            Millis now = SteadyNow();
            if (!RunCommands(now)) break;
            for (const auto& [ticket, passed] : passwords->TakeResults())
                engine->CompletePasswordCheck(ticket, passed, now);
            RetryBind(now);
            if (now >= nextTimer) nextTimer = engine->Tick(now);
            if (pendingShutdown && engine->ShutdownComplete()) {
                Complete(pendingShutdown);
                pendingShutdown.reset();
            }
            // Sockets the engine closed or that failed.
            std::vector<uint64_t> drop;
            for (auto& [conn, s] : sockets) {
                if (s.broken) {
                    engine->Disconnected(conn);
                    drop.push_back(conn);
                } else if (s.closing && (s.outPos == s.out.size() || now >= s.closeDeadline)) {
                    drop.push_back(conn);
                }
            }
            for (uint64_t conn : drop) DropSocket(conn);

            fds.clear();
            ids.clear();
            fds.push_back({wakeFd, POLLIN, 0});
            ids.push_back(0);
            if (listenFd >= 0) {
                fds.push_back({listenFd, POLLIN, 0});
                ids.push_back(0);
            }
            for (auto& [conn, s] : sockets) {
                short events = s.closing ? 0 : POLLIN;
                if (s.outPos < s.out.size()) events |= POLLOUT;
                fds.push_back({s.fd, events, 0});
                ids.push_back(conn);
            }
            Millis wake = nextTimer;
            if (retryingBind) wake = std::min(wake, nextBindAttempt);
            const int timeout = static_cast<int>(std::clamp<Millis>(wake - now, 0, 1000));
            int rc = ::poll(fds.data(), fds.size(), timeout);
            if (rc < 0 && errno != EINTR) break;
            now = SteadyNow();
            for (size_t i = 0; rc > 0 && i < fds.size(); ++i) {
                if (fds[i].revents == 0) continue;
                if (fds[i].fd == wakeFd) {
                    uint64_t v;
                    [[maybe_unused]] ssize_t r = ::read(wakeFd, &v, sizeof v);
                    continue;
                }
                if (fds[i].fd == listenFd && ids[i] == 0) {
                    AcceptAll(now);
                    continue;
                }
                const uint64_t conn = ids[i];
                auto it = sockets.find(conn);
                if (it == sockets.end()) continue;
                if (fds[i].revents & POLLOUT) Flush(it->second);
                if (fds[i].revents & (POLLIN | POLLERR | POLLHUP)) ReadSocket(conn, now);
                it = sockets.find(conn);
                if (it != sockets.end() && (fds[i].revents & (POLLERR | POLLNVAL)) &&
                    !(fds[i].revents & POLLIN))
                    it->second.broken = true;
            }
            // Input may have made timers due (a new subscription samples at once).
            nextTimer = std::min(nextTimer, now);
        }
        // Leave: flush what can go, close everything.
        for (auto& [conn, s] : sockets) Flush(s);
        std::vector<uint64_t> all;
        for (auto& [conn, s] : sockets) all.push_back(conn);
        for (uint64_t conn : all) DropSocket(conn);
        StopListeningNow();
        if (pendingShutdown) Complete(pendingShutdown);
    }
};

Server::Server(Backend& backend, ServerConfig config)
    : impl_(std::make_unique<Impl>(backend, std::move(config))) {}

Server::~Server() {
    if (impl_->running) {
        auto cmd = std::make_shared<Impl::Command>(Impl::Command{Impl::CommandKind::Stop, {}, false});
        impl_->Post(cmd, 0);
        if (impl_->thread.joinable()) impl_->thread.join();
    }
    impl_->passwords.reset();  // before the descriptor it writes to
    if (impl_->wakeFd >= 0) ::close(impl_->wakeFd);
    if (impl_->listenFd >= 0) ::close(impl_->listenFd);
}

void Server::SetListenObserver(ListenObserver observer) {
    if (!impl_->running) impl_->observer = std::move(observer);
}

bool Server::Start(std::string* error) {
    Impl& d = *impl_;
    if (d.running) return true;
    if (error) error->clear();
    d.engine = std::make_unique<Engine>(d.backend, d.config, d);
    d.engine->Build();
    d.outputBacklogLimit = std::max<uint64_t>(kMinOutputBacklog, 2ull * d.config.maxMessageSize);
    d.wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (d.wakeFd < 0) {
        if (error) *error = ErrnoText("eventfd");
        return false;
    }
    Impl::BindFailure failure;
    if (d.BindOnce(failure)) {
        d.listening = true;
        d.engine->SetPort(d.port);
    } else {
        if (error)
            *error = "bind " + d.config.host + ":" + std::to_string(d.config.port) + ": " + failure.text;
        if (d.config.bindRetryMs <= 0) {
            ::close(d.wakeFd);
            d.wakeFd = -1;
            return false;
        }
        // Serve nothing yet, try again in the background; the network thread tells the
        // failure at once and the success when it comes.
        d.engine->SetPort(d.config.port);
        d.retryingBind = true;
        d.nextBindAttempt = SteadyNow() + d.config.bindRetryMs;
        d.firstFailure = failure;
        d.reportFirstFailure = true;
    }
    d.passwords = std::make_unique<PasswordWorker>(d.wakeFd);
    d.engine->SetPasswordCheckExecutor(d.passwords.get());
    d.running = true;
    d.thread = std::thread([&d] {
        d.threadId = std::this_thread::get_id();
        d.Loop();
    });
    return true;
}

void Server::StopListening() {
    if (!impl_->running) return;
    impl_->Post(std::make_shared<Impl::Command>(Impl::Command{Impl::CommandKind::StopListening, {}, false}),
                5000);
}

void Server::DisconnectAll() {
    if (!impl_->running) return;
    impl_->Post(std::make_shared<Impl::Command>(Impl::Command{Impl::CommandKind::DisconnectAll, {}, false}),
                5000);
}

void Server::Shutdown(const std::string& reason) {
    if (!impl_->running) return;
    impl_->Post(std::make_shared<Impl::Command>(Impl::Command{Impl::CommandKind::Shutdown, reason, false}),
                5000);
}

uint16_t Server::Port() const {
    return impl_->port;
}

bool Server::Listening() const {
    return impl_->listening;
}

}  // namespace qora::ua
