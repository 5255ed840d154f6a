#include "opc/ua/ua_server.h"

namespace qora::ua {

struct Server::Impl {
    Backend& backend;
    ServerConfig config;
};

Server::Server(Backend& backend, ServerConfig config)
    : impl_(std::make_unique<Impl>(Impl{backend, std::move(config)})) {}
Server::~Server() = default;

bool Server::Start(std::string* error) {
    if (error) error->clear();
    return true;
}
void Server::StopListening() {}
void Server::DisconnectAll() {}
void Server::Shutdown(const std::string&) {}
uint16_t Server::Port() const { return impl_->config.port; }
bool Server::Listening() const { return false; }

}  // namespace qora::ua
