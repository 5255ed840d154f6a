// A mosquitto broker of the test's own on 127.0.0.1 and a free port (never the system's broker
// on 1883), with a temporary configuration; and a subscriber built on libmosquitto.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace mqtttest {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

inline int FreePort() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}

inline bool PortOpen(int port) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(port));
    const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    return ok;
}

inline fs::path TempDir(const char* tag) {
    std::string t = (fs::temp_directory_path() / (std::string(tag) + "-XXXXXX")).string();
    return fs::path(::mkdtemp(t.data()));
}

inline std::string MosquittoPath() {
    for (const char* p : {"/usr/sbin/mosquitto", "/usr/bin/mosquitto"})
        if (fs::exists(p)) return p;
    return {};
}

// Starts mosquitto with conf (output to /dev/null) and waits (at most 10 s) until it accepts
// connections on port.
inline bool StartMosquitto(const fs::path& conf, int port, pid_t& pid) {
    const std::string exe = MosquittoPath(), path = conf.string();
    pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execl(exe.c_str(), exe.c_str(), "-c", path.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < end) {
        if (PortOpen(port)) return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

// Ends a broker started by StartMosquitto with signal and reaps it.
inline void StopMosquitto(pid_t& pid, int signal) {
    if (pid <= 0) return;
    ::kill(pid, signal);
    ::waitpid(pid, nullptr, 0);
    pid = -1;
}

class Broker {
  public:
    // users: name -> password; empty = anonymous clients allowed.
    explicit Broker(std::map<std::string, std::string> users = {})
        : dir_(TempDir("qora-mqtt-broker")), port_(FreePort()) {
        std::ofstream conf(dir_ / "mosquitto.conf");
        // Run as root, the broker would switch to its own user and lose this directory.
        const passwd* pw = ::getpwuid(::getuid());
        conf << "listener " << port_ << " 127.0.0.1\n"
             << "user " << (pw ? pw->pw_name : "root") << "\n"
             << "persistence false\n"
             // Tests send thousands of QoS 1 messages (retained ones all at once on subscribe) to
             // subscribers that may be slow under the sanitizers: the broker's default of 1000
             // queued per client would drop the rest.
             << "max_queued_messages 0\n"
             << "log_dest file " << (dir_ / "broker.log").string() << "\n";
        if (users.empty()) {
            conf << "allow_anonymous true\n";
        } else {
            conf << "allow_anonymous false\npassword_file " << (dir_ / "passwd").string() << "\n";
            std::ofstream(dir_ / "passwd").close();
            for (const auto& [user, password] : users) {
                const std::string cmd = "mosquitto_passwd -b '" + (dir_ / "passwd").string() + "' '" + user +
                                        "' '" + password + "' >/dev/null 2>&1";
                if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "mosquitto_passwd failed\n");
            }
            fs::permissions(dir_ / "passwd", fs::perms::owner_read | fs::perms::owner_write);
        }
    }
    ~Broker() {
        Kill();
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    Broker(const Broker&) = delete;
    Broker& operator=(const Broker&) = delete;

    static bool Available() { return !MosquittoPath().empty(); }
    int Port() const { return port_; }

    // Starts the broker and waits (at most 10 s) until it accepts connections.
    bool Start() { return StartMosquitto(dir_ / "mosquitto.conf", port_, pid_); }
    void Kill() { StopMosquitto(pid_, SIGKILL); }

  private:
    fs::path dir_;
    int port_;
    pid_t pid_ = -1;
};

// Collects the last payload of every topic it sees.
class Subscriber {
  public:
    Subscriber(int port, const std::string& filter, const char* user = nullptr,
               const char* password = nullptr) {
        mosquitto_lib_init();
        m_ = mosquitto_new(nullptr, true, this);
        if (user) mosquitto_username_pw_set(m_, user, password);
        mosquitto_connect_callback_set(m_, [](mosquitto* m, void* self, int rc) {
            auto* s = static_cast<Subscriber*>(self);
            if (rc == 0) mosquitto_subscribe(m, nullptr, s->filter_.c_str(), 1);
            std::lock_guard lock(s->mutex_);
            s->connackRc_ = rc;
            s->cv_.notify_all();
        });
        mosquitto_message_callback_set(m_, [](mosquitto*, void* self, const mosquitto_message* msg) {
            auto* s = static_cast<Subscriber*>(self);
            std::lock_guard lock(s->mutex_);
            const std::string payload(static_cast<const char*>(msg->payload), size_t(msg->payloadlen));
            s->last_[msg->topic] = payload;
            if (msg->retain) s->retained_[msg->topic] = payload;
            ++s->count_;
            s->cv_.notify_all();
        });
        filter_ = filter;
        mosquitto_connect(m_, "127.0.0.1", port, 30);
        mosquitto_loop_start(m_);
    }
    ~Subscriber() {
        mosquitto_disconnect(m_);
        mosquitto_loop_stop(m_, false);
        mosquitto_destroy(m_);
    }
    Subscriber(const Subscriber&) = delete;
    Subscriber& operator=(const Subscriber&) = delete;

    // Waits (bounded) until pred(last payloads) holds.
    bool WaitFor(std::chrono::milliseconds bound,
                 const std::function<bool(const std::map<std::string, std::string>&)>& pred) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, bound, [&] { return pred(last_); });
    }
    int ConnackRc(std::chrono::milliseconds bound) {
        std::unique_lock lock(mutex_);
        cv_.wait_for(lock, bound, [&] { return connackRc_ >= 0; });
        return connackRc_;
    }
    std::map<std::string, std::string> Last() {
        std::lock_guard lock(mutex_);
        return last_;
    }
    std::map<std::string, std::string> Retained() {
        std::lock_guard lock(mutex_);
        return retained_;
    }
    size_t Count() {
        std::lock_guard lock(mutex_);
        return count_;
    }

  private:
    mosquitto* m_ = nullptr;
    std::string filter_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::map<std::string, std::string> last_;
    std::map<std::string, std::string> retained_;
    size_t count_ = 0;
    int connackRc_ = -1;
};

}  // namespace mqtttest
