// Limits of the endpoint, each named once: the operation limits a request's arrays are checked
// against (and that the OperationLimits nodes publish), protocol sizes, session and channel
// timeouts, and the timer cadence of the engine.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "ua/encoding/types.h"
#include "ua/nodes/server_diagnostics.h"

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
    uint32_t maxNodesPerMethodCall;  // the Call service is not offered: any Call is refused
};
inline constexpr OperationLimits kOperationLimits{
    .maxNodesPerRead = 50000,
    .maxNodesPerWrite = 50000,
    .maxNodesPerBrowse = 5000,
    .maxNodesPerRegisterNodes = 50000,
    .maxNodesPerTranslate = 5000,
    .maxMonitoredItemsPerCall = 50000,
    .maxNodesPerMethodCall = 1000,
};
// Nodes one HistoryRead may carry (published as MaxNodesPerHistoryReadData).
inline constexpr uint32_t kMaxHistoryNodesPerRead = 1000;
inline constexpr uint32_t kMaxNodesPerHistoryReadDataId = 12165;
// Node of each operation limit → its value.
struct OperationLimitNode {
    uint32_t nodeId;
    uint32_t value;
};
inline constexpr std::array<OperationLimitNode, 8> kOperationLimitNodes{{
    {id::MaxNodesPerRead, kOperationLimits.maxNodesPerRead},
    {id::MaxNodesPerWrite, kOperationLimits.maxNodesPerWrite},
    {id::MaxNodesPerBrowse, kOperationLimits.maxNodesPerBrowse},
    {id::MaxNodesPerRegisterNodes, kOperationLimits.maxNodesPerRegisterNodes},
    {id::MaxNodesPerTranslate, kOperationLimits.maxNodesPerTranslate},
    {id::MaxMonitoredItemsPerCall, kOperationLimits.maxMonitoredItemsPerCall},
    {id::MaxNodesPerMethodCall, kOperationLimits.maxNodesPerMethodCall},
    {kMaxNodesPerHistoryReadDataId, kMaxHistoryNodesPerRead},
}};
// What the server capabilities publish for variable-length values: the longest array a request
// needs (the largest operation limit) and the longest string the server hands out or expects
// (item IDs, names, texts); longer ones are bounded only by the message size.
inline constexpr uint32_t kMaxArrayLength = 50000;
inline constexpr uint32_t kMaxStringLength = 65535;
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
// HistoryRead: values one node's result carries at most, whatever the client asks, and all
// results of one response together (the store is read on the network thread, so one call stays
// short: a day at one value a second takes nine calls; the response stays within a few
// megabytes); continuation points a session holds (the oldest of an earlier call is dropped for a
// new one; beyond that a node answers BadNoContinuationPoints).
inline constexpr uint32_t kMaxHistoryValuesPerResponse = 10000;
inline constexpr uint32_t kMaxHistoryValuesPerCall = 100000;
inline constexpr size_t kMaxHistoryContinuationPoints = 10;

// Sessions and secure channel tokens.
inline constexpr double kDefaultSessionTimeoutMs = 60000;
inline constexpr double kMinSessionTimeoutMs = 5000;
// A longer time-out would let abandoned sessions hold the session table: ten minutes ride out
// any network failure a client reconnects after.
inline constexpr double kMaxSessionTimeoutMs = 600000;
// A session never activated is abandoned by then (a client activates at once after creating).
inline constexpr Millis kUnactivatedSessionTimeoutMs = 10000;
// Share of the memory budget one session may charge (monitored items, queues, retransmission):
// half, so whatever one client subscribes, another still has as much room.
inline constexpr uint64_t kSessionMemoryShareDivisor = 2;
// Freed memory is handed back to the system once this much has been released since the last
// time (the allocator keeps freed heap otherwise), at most once per interval: a trim walks the
// whole heap, a client that keeps creating and deleting items must not make it run every tick.
inline constexpr uint64_t kTrimAfterReleasedBytes = 1ull << 20;
inline constexpr Millis kTrimIntervalMs = 1000;
inline constexpr uint32_t kMinTokenLifetimeMs = 60000;
inline constexpr uint32_t kMaxTokenLifetimeMs = 600000;  // about ten minutes
// A token not renewed within its lifetime plus a quarter of it ends the channel.
inline constexpr int64_t kTokenGraceNumerator = 5;
inline constexpr int64_t kTokenGraceDenominator = 4;

// A wrong user name or password is answered this late (slows down guessing; other channels are
// served meanwhile).
inline constexpr Millis kFailedLoginDelayMs = 500;
// A password check costs tens of milliseconds of the endpoint's password worker (a deliberately slow
// hash; the network thread only decrypts). Four a second, with eight at once, keep guessing from
// taking more than about a fifth of that thread from every other login, while a plant's clients
// logging in after a restart pass within seconds. Beyond the allowance a login is refused like a wrong
// password, without hashing. The allowance is per peer address, so that a guessing peer slows only itself;
// all peers together get kPasswordPeersShare times that, which bounds the thread's time when many addresses
// guess.
inline constexpr double kPasswordChecksPerSecond = 4;
inline constexpr double kPasswordCheckBurst = 8;
inline constexpr double kPasswordPeersShare = 4;
// Peers whose allowance is remembered; beyond, the full (idle) ones are forgotten.
inline constexpr size_t kMaxPasswordPeers = 1024;
// Password checks waiting for the worker or running on it: at most the burst of all peers together;
// beyond (a worker slower than the allowance refills), a login is refused like beyond the allowance.
inline constexpr size_t kMaxPendingPasswordChecks =
    static_cast<size_t>(kPasswordCheckBurst * kPasswordPeersShare);
// An encrypted password is at most this many blocks of the server key: a password and a nonce
// take one; anything longer is refused before any decryption.
inline constexpr size_t kMaxPasswordCipherBlocks = 2;
// Sessions of one peer address: a quarter of the table, at least this many. A full table keeps
// room for secured clients by ending an anonymous session of a None channel.
inline constexpr size_t kMinSessionsPerPeer = 10;
inline constexpr size_t kSessionsPerPeerDivisor = 4;
// Failed logins and refused certificates reported to the program, at most this many a minute
// (the rest are counted in the next report).
inline constexpr int kSecurityEventsPerMinute = 10;
// Client nonce of CreateSession on a secured channel.
inline constexpr size_t kMinClientNonce = 32;
inline constexpr size_t kMaxClientNonce = 128;

// Timer cadence of the engine.
inline constexpr Millis kIdleTickMs = 1000;       // longest wait between two ticks
inline constexpr Millis kShutdownDrainMs = 2000;  // notifications of a shutdown get this long to go out
inline constexpr Millis kShutdownPollMs = 10;     // tick period while they drain

}  // namespace qora::ua
