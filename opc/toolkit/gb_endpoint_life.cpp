#include "opc/toolkit/gb_endpoint_life.h"

#include "opc/toolkit/gb_data_access.h"
#include "opc/toolkit/gb_types.h"

namespace gb {

EndpointLife::EndpointLife(GBOPCDataAccessBase& owner, qora::ua::Backend& backend)
    : owner_(owner), backend_(backend) {}

EndpointLife::~EndpointLife() {
    StopEndpoint();
}

HRESULT EndpointLife::Initialize(const GUID& clsid, const std::array<uint32_t, 7>& numbers,
                                 const char16_t* vendor) {
    std::lock_guard lock(mutex_);
    clsid_ = clsid;
    initNumbers_ = numbers;
    vendor_.assign(vendor ? vendor : u"", Utf16Length(vendor));
    initialized_ = true;
    return S_OK;
}

void EndpointLife::SetEndpointConfig(const qora::ua::ServerConfig& config) {
    std::lock_guard lock(mutex_);
    config_ = config;
}

HRESULT EndpointLife::RegisterClassObject() {
    {
        std::lock_guard lock(mutex_);
        if (server_ && registered_) return S_FALSE;
        server_.reset();  // a revoked endpoint: the channels it still held end here
        qora::ua::ServerConfig cfg = config_;
        if (!vendor_.empty()) cfg.manufacturerName = Utf16ToUtf8(vendor_);
        auto server = std::make_unique<qora::ua::Server>(backend_, cfg);
        // Told on the endpoint's thread, which ends before server_ goes.
        server->SetListenObserver(
            [this](const qora::ua::ListenState& state) { owner_.GBOnListenStateChanged(state); });
        std::string error;
        if (!server->Start(&error)) {
            lastEndpointError_ = error.empty() ? "the endpoint did not start" : error;
            return E_FAIL;
        }
        lastEndpointError_ = error;  // empty when it listens, else why it is still trying
        server_ = std::move(server);
        registered_ = true;
    }
    owner_.GBClassObjectAdd();
    return S_OK;
}

HRESULT EndpointLife::RevokeClassObject() {
    {
        std::lock_guard lock(mutex_);
        if (!server_ || !registered_) return S_FALSE;
        server_->StopListening();
        registered_ = false;
    }
    owner_.GBClassObjectRemove();
    return S_OK;
}

HRESULT EndpointLife::DisconnectClients() {
    std::lock_guard lock(mutex_);
    ++disconnects_;
    if (server_) server_->DisconnectAll();
    return S_OK;
}

HRESULT EndpointLife::Shutdown(const char16_t* reason) {
    std::lock_guard lock(mutex_);
    shutdownCalled_ = true;
    shutdownReason_.assign(reason ? reason : u"", Utf16Length(reason));
    if (server_) server_->Shutdown(Utf16ToUtf8(shutdownReason_));
    return S_OK;
}

void EndpointLife::StopEndpoint() {
    std::unique_ptr<qora::ua::Server> server;
    {
        std::lock_guard lock(mutex_);
        server = std::move(server_);
        registered_ = false;
    }
    server.reset();  // joins the endpoint's threads outside the lock
}

bool EndpointLife::Initialized() const {
    std::lock_guard lock(mutex_);
    return initialized_;
}
bool EndpointLife::Registered() const {
    std::lock_guard lock(mutex_);
    return registered_;
}
GUID EndpointLife::Clsid() const {
    std::lock_guard lock(mutex_);
    return clsid_;
}
std::array<uint32_t, 7> EndpointLife::InitNumbers() const {
    std::lock_guard lock(mutex_);
    return initNumbers_;
}
std::u16string EndpointLife::Vendor() const {
    std::lock_guard lock(mutex_);
    return vendor_;
}
std::u16string EndpointLife::ShutdownReason() const {
    std::lock_guard lock(mutex_);
    return shutdownReason_;
}
bool EndpointLife::ShutdownCalled() const {
    std::lock_guard lock(mutex_);
    return shutdownCalled_;
}
int EndpointLife::DisconnectCount() const {
    std::lock_guard lock(mutex_);
    return disconnects_;
}
qora::ua::Server* EndpointLife::Endpoint() {
    std::lock_guard lock(mutex_);
    return server_.get();
}
std::string EndpointLife::LastEndpointError() const {
    std::lock_guard lock(mutex_);
    return lastEndpointError_;
}

}  // namespace gb
