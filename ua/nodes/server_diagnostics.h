// The server's own diagnostics: the standard nodes of ServerDiagnostics and ServerRedundancy, and
// the counters the engine keeps for the ServerDiagnosticsSummary.
#pragma once

#include <cstdint>

#include "ua/encoding/types.h"

namespace qora::ua {

namespace id {
inline constexpr uint32_t UInt64Type = 9, RedundancySupport = 851, ServerDiagnosticsSummaryDataType = 859,
                          ServerDiagnosticsSummaryEncoding = 861, ServerDiagnosticsType = 2020,
                          ServerRedundancyType = 2034, ServerDiagnosticsSummaryType = 2150,
                          ServerDiagnostics = 2274, ServerDiagnosticsSummary = 2275, ServerViewCount = 2276,
                          CurrentSessionCount = 2277, CumulatedSessionCount = 2278,
                          SecurityRejectedSessionCount = 2279, SessionTimeoutCount = 2281,
                          SessionAbortCount = 2282, PublishingIntervalCount = 2284,
                          CurrentSubscriptionCount = 2285, CumulatedSubscriptionCount = 2286,
                          SecurityRejectedRequestsCount = 2287, RejectedRequestsCount = 2288,
                          EnabledFlag = 2294, ServerRedundancy = 2296, RejectedSessionCount = 3705,
                          RedundancySupportVar = 3709, MaxArrayLength = 11702, MaxStringLength = 11703,
                          MaxNodesPerMethodCall = 11709;
}  // namespace id

// Counters since the engine started (the current counts come from the session table).
struct ServerCounters {
    uint32_t cumulatedSessions = 0;
    uint32_t rejectedSessions = 0;          // CreateSession or ActivateSession refused
    uint32_t securityRejectedSessions = 0;  // of those, refused for the identity or the channel
    uint32_t sessionTimeouts = 0;
    uint32_t sessionAborts = 0;  // ended by the server's shutdown
    uint32_t cumulatedSubscriptions = 0;
    uint32_t rejectedRequests = 0;          // answered with a ServiceFault
    uint32_t securityRejectedRequests = 0;  // of those, refused for the session, the channel or the user
};

// Whether a ServiceFault code refuses a request on security grounds.
inline bool IsSecurityRejection(StatusCode code) {
    switch (code) {
        case status::BadSecurityChecksFailed:
        case status::BadIdentityTokenInvalid:
        case 0x80210000:  // BadIdentityTokenRejected
        case 0x801F0000:  // BadUserAccessDenied
        case status::BadSecureChannelIdInvalid:
        case status::BadSessionIdInvalid:
        case status::BadSessionNotActivated:
            return true;
        default:
            return false;
    }
}

// ServiceLevel: 255 while every line with diagnostics has its port open (or when the endpoint
// cannot tell), 1 (no data) when none has, 199 (degraded) in between; 0 while shutting down.
inline uint8_t ServiceLevelOf(bool shuttingDown, uint32_t linesKnown, uint32_t linesOpen) {
    if (shuttingDown) return 0;
    if (linesKnown == 0 || linesOpen == linesKnown) return 255;
    if (linesOpen == 0) return 1;
    return 199;
}

}  // namespace qora::ua
