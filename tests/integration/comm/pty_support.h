// Pseudo-terminals and the instrument simulator for the comm integration tests.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace qora::test {

// A pty pair made by the test: the master stands for the instruments. The
// slave stays open here as well, as the simulator does, so that closing the
// port under test does not hang up the master.
class Pty {
  public:
    Pty() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) < 0 || ::unlockpt(master_) < 0) std::abort();
        path_ = ::ptsname(master_);
        keep_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios t{};
        ::tcgetattr(keep_, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(keep_, TCSANOW, &t);
    }
    ~Pty() {
        if (keep_ >= 0) ::close(keep_);
        if (master_ >= 0) ::close(master_);
    }
    const std::string& Path() const { return path_; }
    int Master() const { return master_; }
    // The slave descriptor held here (as the simulator holds one).
    int Slave() const { return keep_; }
    void Write(const std::vector<uint8_t>& bytes) const {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (n > 0) done += static_cast<size_t>(n);
        }
    }
    // Reads up to n bytes, waiting at most timeoutMs in total.
    std::vector<uint8_t> Read(size_t n, int timeoutMs = 3000) const {
        std::vector<uint8_t> out;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (out.size() < n) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now())
                    .count();
            if (left <= 0) break;
            pollfd p = {master_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
            uint8_t buf[256];
            ssize_t r = ::read(master_, buf, std::min(sizeof buf, n - out.size()));
            if (r <= 0) break;
            out.insert(out.end(), buf, buf + r);
        }
        return out;
    }

  private:
    int master_ = -1;
    int keep_ = -1;
    std::string path_;
};

// qora-sim started with the given arguments; the first line of its output is the line to open.
class Sim {
  public:
    explicit Sim(std::vector<std::string> args) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) < 0) std::abort();
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        std::vector<std::string> all = {QORA_SIM_PATH};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, QORA_SIM_PATH, &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        ::close(out[1]);
        out_ = out[0];
        // First line: the path, within a bounded wait.
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (pid_ > 0 && path_.find('\n') == std::string::npos && std::chrono::steady_clock::now() < end) {
            pollfd p = {out_, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            char c[256];
            ssize_t n = ::read(out_, c, sizeof c);
            if (n <= 0) break;
            path_.append(c, static_cast<size_t>(n));
        }
        if (auto nl = path_.find('\n'); nl != std::string::npos)
            path_.resize(nl);
        else
            path_.clear();
    }
    ~Sim() { Stop(); }
    bool Started() const { return pid_ > 0 && !path_.empty(); }
    const std::string& Path() const { return path_; }
    // SIGTERM, then a bounded wait; returns the exit status (-1 if it had to be killed).
    int Stop(int sig = SIGTERM) {
        if (pid_ <= 0) return status_;
        ::kill(pid_, sig);
        int st = 0;
        for (int i = 0; i < 500; ++i) {
            if (::waitpid(pid_, &st, WNOHANG) == pid_) {
                pid_ = -1;
                ::close(out_);
                status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
                return status_;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &st, 0);
        pid_ = -1;
        ::close(out_);
        return status_ = -1;
    }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    int status_ = -1;
    std::string path_;
};

// Aborts the test program if a section does not finish in time (a deadlock
// would otherwise hang the suite until the runner's time-out).
class Watchdog {
  public:
    Watchdog(int seconds, const char* what)
        : thread_([this, seconds, what] {
              std::unique_lock lock(m_);
              if (!cv_.wait_for(lock, std::chrono::seconds(seconds), [this] { return done_; })) {
                  std::fprintf(stderr, "watchdog: '%s' did not finish in %d s\n", what, seconds);
                  std::abort();
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard lock(m_);
            done_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }

  private:
    std::mutex m_;
    std::condition_variable cv_;
    bool done_ = false;
    std::thread thread_;
};

}  // namespace qora::test
