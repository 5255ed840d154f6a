// Single-instance guard: an exclusive flock on a lock file named after the instance name,
// in $XDG_RUNTIME_DIR (else the temporary directory). The kernel releases it if the process dies.
#pragma once

#include <string>

namespace qora {

class TSingleInstance {
  public:
    explicit TSingleInstance(std::string name);
    ~TSingleInstance();
    TSingleInstance(const TSingleInstance&) = delete;
    TSingleInstance& operator=(const TSingleInstance&) = delete;

    // Takes the lock. Returns false when another process holds it (or the lock file cannot be
    // created; then error() says why).
    bool Acquire();
    // Releases the lock and closes the file; safe to call twice.
    void Release();
    bool Held() const { return fd_ >= 0; }
    const std::string& Path() const { return path_; }
    const std::string& Error() const { return error_; }

    static std::string LockDirectory();

  private:
    std::string path_;
    std::string error_;
    int fd_ = -1;
};

inline constexpr const char* kInstanceMutexName = "QORA_OPC_SERVERxkqpwmzrtvbn48213";

}  // namespace qora
