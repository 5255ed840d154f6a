// Building blocks for the server object's tests.
#pragma once

#include <memory>
#include <string>

#include "config/records.h"
#include "opc/opc_server.h"
#include "opc/toolkit/gb_test_view.h"

namespace opctest {

using ModelPtr = std::unique_ptr<qora::TConfigModel, qora::ModelDeleter>;

// A model whose catalogue names parameter k "P<k>" and type t "T<t>", every type offering
// every parameter.
inline ModelPtr NewModel(int types = 4) {
    ModelPtr m(qora::CreateModel());
    for (int k = 0; k < qora::kParamsPerDevice; ++k) {
        const std::u16string name = u"P" + std::u16string(1, char16_t(u'A' + k));
        qora::CopyName(m->paramNames[k], name, qora::kMaxCatalogNameChars);
    }
    m->typeCount = static_cast<uint8_t>(types);
    for (int t = 0; t < types; ++t) {
        qora::CopyName(m->typeNames[t], u"T" + std::u16string(1, char16_t(u'0' + t)),
                       qora::kMaxCatalogNameChars);
        m->typeMasks[t] = 0xFFFFFFFFu;
    }
    return m;
}

// A server whose endpoint listens on a free loopback port.
inline void UseLoopback(qora::COPCServer& s) {
    qora::ua::ServerConfig cfg;
    cfg.host = "127.0.0.1";
    cfg.port = 0;
    cfg.bindRetryMs = 0;
    s.GBSetEndpointConfig(cfg);
}

inline qora::ua::ItemSample Cached(qora::COPCServer& s, uint32_t handle) {
    qora::ua::ItemSample out;
    s.GBBackend().ReadCache(&handle, 1, &out);
    return out;
}

}  // namespace opctest
