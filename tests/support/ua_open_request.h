// The OpenSecureChannelRequest a test client puts inside an OPN: its type id, a request header
// with no session, and the request's own fields.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "ua/encoding/binary.h"

namespace qora::ua::testing {

inline constexpr uint32_t kOpenSecureChannelRequestId = 446;

// Request header without a session: null token, time 0, the handle, no diagnostics, no audit
// entry, a 10 s hint, no additional header.
inline void WriteSessionlessHeader(Encoder& e, uint32_t requestHandle = 1) {
    e.Node(NodeId());
    e.DateTime(0);
    e.UInt32(requestHandle);
    e.UInt32(0);
    e.NullString();
    e.UInt32(10000);
    e.Node(NodeId());
    e.Byte(0);
}

// The fields after the header: protocol version 0, request type (0 issue, 1 renew), message
// security mode, client nonce, requested lifetime.
inline void WriteOpenFields(Encoder& e, uint32_t requestType, uint32_t mode, std::string_view nonce,
                            uint32_t lifetime) {
    e.UInt32(0);
    e.UInt32(requestType);
    e.UInt32(mode);
    e.ByteString(nonce);
    e.UInt32(lifetime);
}

// The whole body with a sessionless header.
inline std::string OpenRequestBody(uint32_t requestType, uint32_t mode, std::string_view nonce,
                                   uint32_t lifetime = 600000) {
    std::string body;
    Encoder e(body);
    e.Node(NodeId(0, kOpenSecureChannelRequestId));
    WriteSessionlessHeader(e);
    WriteOpenFields(e, requestType, mode, nonce, lifetime);
    return body;
}

}  // namespace qora::ua::testing
