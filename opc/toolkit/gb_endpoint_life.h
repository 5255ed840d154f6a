// The endpoint's life in the toolkit: what GBInitialize recorded, the endpoint settings, the
// OPC UA server that GBRegisterClassObject starts and GBRevokeClassObject stops listening,
// GBShutdown and GBDisconnectClients. One lock guards all of it; the server is joined outside it.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "opc/toolkit/gb_types.h"
#include "ua/net/server.h"
#include "ua/nodes/backend.h"

namespace gb {

class GBOPCDataAccessBase;

class EndpointLife {
  public:
    // owner gets the class-object and listen-state callbacks; the server serves backend.
    EndpointLife(GBOPCDataAccessBase& owner, qora::ua::Backend& backend);
    ~EndpointLife();  // stops the endpoint
    EndpointLife(const EndpointLife&) = delete;
    EndpointLife& operator=(const EndpointLife&) = delete;

    HRESULT Initialize(const GUID& clsid, const std::array<uint32_t, 7>& numbers, const char16_t* vendor);
    void SetEndpointConfig(const qora::ua::ServerConfig& config);
    HRESULT RegisterClassObject();
    HRESULT RevokeClassObject();
    HRESULT DisconnectClients();
    HRESULT Shutdown(const char16_t* reason);
    void StopEndpoint();

    // State, for the owner and for tests.
    bool Initialized() const;
    bool Registered() const;  // GBRegisterClassObject succeeded and GBRevokeClassObject not called since
    GUID Clsid() const;
    std::array<uint32_t, 7> InitNumbers() const;
    std::u16string Vendor() const;
    std::u16string ShutdownReason() const;  // empty until GBShutdown
    bool ShutdownCalled() const;
    int DisconnectCount() const;  // GBDisconnectClients calls
    // The running endpoint, or null (for tests that need the bound port).
    qora::ua::Server* Endpoint();
    // Why the last GBRegisterClassObject failed or its endpoint could not listen at first
    // (empty when it listened at once).
    std::string LastEndpointError() const;

  private:
    GBOPCDataAccessBase& owner_;
    qora::ua::Backend& backend_;

    mutable std::mutex mutex_;  // everything below
    bool initialized_ = false;
    GUID clsid_;
    std::array<uint32_t, 7> initNumbers_{};
    std::u16string vendor_;
    qora::ua::ServerConfig config_;
    std::unique_ptr<qora::ua::Server> server_;
    bool registered_ = false;
    bool shutdownCalled_ = false;
    std::u16string shutdownReason_;
    int disconnects_ = 0;
    std::string lastEndpointError_;
};

}  // namespace gb
