// Limits of the endpoint, each named once: the operation limits a request's arrays are checked
// against (and that the OperationLimits nodes publish), protocol sizes, session and channel
// timeouts, and the timer cadence of the engine.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "opc/ua/ua_types.h"

namespace qora::ua {

using Millis = int64_t;  // monotonic milliseconds

// Operations one service call may carry. The OperationLimits nodes of the server object publish
// these same numbers (see kOperationLimitNodes).
struct OperationLimits {
    uint32_t maxNodesPerRead;
    uint32_t maxNodesPerWrite;
    uint32_t maxNodesPerBrowse;
    uint32_t maxNodesPerRegisterNodes;
    uint32_t maxNodesPerTranslate;
    uint32_t maxMonitoredItemsPerCall;
};
inline constexpr OperationLimits kOperationLimits{
    .maxNodesPerRead = 50000,
    .maxNodesPerWrite = 50000,
    .maxNodesPerBrowse = 5000,
    .maxNodesPerRegisterNodes = 50000,
    .maxNodesPerTranslate = 5000,
    .maxMonitoredItemsPerCall = 50000,
};
// Node of each operation limit → its value.
struct OperationLimitNode {
    uint32_t nodeId;
    uint32_t value;
};
inline constexpr std::array<OperationLimitNode, 6> kOperationLimitNodes{{
    {id::MaxNodesPerRead, kOperationLimits.maxNodesPerRead},
    {id::MaxNodesPerWrite, kOperationLimits.maxNodesPerWrite},
    {id::MaxNodesPerBrowse, kOperationLimits.maxNodesPerBrowse},
    {id::MaxNodesPerRegisterNodes, kOperationLimits.maxNodesPerRegisterNodes},
    {id::MaxNodesPerTranslate, kOperationLimits.maxNodesPerTranslate},
    {id::MaxMonitoredItemsPerCall, kOperationLimits.maxMonitoredItemsPerCall},
}};
inline constexpr uint32_t kNoOperationLimit = 0;

// Service fault of an operation array: empty → BadNothingToDo, over the limit (when there is
// one) → BadTooManyOperations, otherwise Good.
inline StatusCode OperationCountFault(size_t count, uint32_t limit) {
    if (count == 0) return status::BadNothingToDo;
    if (limit != kNoOperationLimit && count > limit) return status::BadTooManyOperations;
    return status::Good;
}

// Fixed protocol limits (the configurable ones live in ServerConfig).
inline constexpr uint32_t kMinBufferSize = 8192;          // smallest buffer the protocol allows
inline constexpr uint32_t kOwnBufferSize = 65535;         // our receive and send chunk size
inline constexpr uint32_t kMaxEndpointUrlLength = 4096;   // HEL endpoint URL limit of the protocol
inline constexpr uint32_t kChunkHeaderSize = 24;          // header, channel id, token id, sequence header
inline constexpr size_t kMaxPendingChunksPerChannel = 4;  // messages being assembled at once
inline constexpr size_t kMaxContinuationPoints = 10;      // per session
inline constexpr uint32_t kDefaultMaxReferencesPerNode = 1000;
inline constexpr uint32_t kMaxReferencesPerResult = 10000;  // bounds one Browse result whatever is requested

// Sessions and secure channel tokens.
inline constexpr double kDefaultSessionTimeoutMs = 60000;
inline constexpr double kMinSessionTimeoutMs = 5000;
inline constexpr double kMaxSessionTimeoutMs = 3600000;
inline constexpr uint32_t kMinTokenLifetimeMs = 60000;
inline constexpr uint32_t kMaxTokenLifetimeMs = 600000;  // about ten minutes
// A token not renewed within its lifetime plus a quarter of it ends the channel.
inline constexpr int64_t kTokenGraceNumerator = 5;
inline constexpr int64_t kTokenGraceDenominator = 4;

// A wrong user name or password is answered this late (slows down guessing; other channels are
// served meanwhile).
inline constexpr Millis kFailedLoginDelayMs = 500;
// Client nonce of CreateSession on a secured channel.
inline constexpr size_t kMinClientNonce = 32;
inline constexpr size_t kMaxClientNonce = 128;

// Timer cadence of the engine.
inline constexpr Millis kIdleTickMs = 1000;       // longest wait between two ticks
inline constexpr Millis kShutdownDrainMs = 2000;  // notifications of a shutdown get this long to go out
inline constexpr Millis kShutdownPollMs = 10;     // tick period while they drain

}  // namespace qora::ua
