// OPC UA binary endpoint serving the toolkit's items: SecurityPolicy None and the RSA policies signed or
// signed and encrypted, anonymous and user-name sessions.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ua/engine/server_config.h"
#include "ua/nodes/backend.h"

namespace qora::ua {

// Whether the endpoint listens, and why not.
struct ListenState {
    bool listening = false;
    std::string host;    // as configured; empty = all interfaces
    uint16_t port = 0;   // as configured, or the port bound once listening
    int error = 0;       // errno of the failed attempt; 0 when the host name did not resolve
    std::string reason;  // the system's text for the failure
};

class Server {
  public:
    // Told the first failed bind (listening false; retries go on) and the success that follows
    // failed binds (listening true), on the endpoint's network thread. Set before Start.
    using ListenObserver = std::function<void(const ListenState&)>;

    Server(Backend& backend, ServerConfig config);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    void SetListenObserver(ListenObserver observer);
    // Binds and listens, and starts the endpoint's thread. When the bind fails (port held by
    // another process, host naming no local address) and bindRetryMs > 0, the endpoint runs
    // all the same and keeps trying every bindRetryMs in the background: Start returns true at
    // once with the reason in *error, and the observer is told. Returns false with a reason
    // when the endpoint cannot run at all.
    bool Start(std::string* error = nullptr);
    // Stops listening (and retrying); open channels stay until DisconnectAll or destruction.
    void StopListening();
    // Closes every secure channel.
    void DisconnectAll();
    // ServerStatus.State := Shutdown, ShutdownReason := reason (UTF-8); subscribers are told
    // before their sessions end.
    void Shutdown(const std::string& reason);
    // Port actually bound (useful with port 0).
    uint16_t Port() const;
    bool Listening() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace qora::ua
