// State of the endpoint's sessions: queued Publish requests, subscriptions, Browse continuation
// points; and the table of sessions with the random ids and nonces handed to them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ua/encoding/binary.h"
#include "ua/encoding/types.h"
#include "ua/limits.h"
#include "ua/nodes/address_space.h"
#include "ua/services/subscription.h"

namespace qora::ua {

struct PendingPublish {
    uint64_t conn = 0;
    uint32_t requestId = 0;
    uint32_t requestHandle = 0;
    Millis received = 0;
    uint32_t timeoutHint = 0;
    std::vector<StatusCode> ackResults;
};

struct ContinuationPoint {
    std::string id;
    NodeRef node;
    size_t position = 0;
    uint32_t maxReferences = 0;
    uint32_t direction = 0;
    uint32_t referenceType = 0;  // 0: all
    bool includeSubtypes = true;
    uint32_t nodeClassMask = 0;
    uint32_t resultMask = 0;
};

// Where a HistoryRead of one item goes on: the time domain in reading order, how far it got, and
// which bounds are still owed. Times are DateTime (FILETIME).
struct HistoryContinuation {
    std::string id;
    uint32_t item = 0;       // position in the item table
    bool reverse = false;    // newest first
    uint64_t cursor = 0;     // next value to read is at this time or beyond it (reading order)
    uint32_t skip = 0;       // values at cursor already handed out
    uint64_t to = 0;         // reading stops before this time (exclusive); 0: open
    uint64_t remaining = 0;  // values the client still wants; 0: all
    uint32_t perCall = 0;    // values one call hands out at most; 0: our limit only
    bool single = false;     // the value at one time: bounds only when there is none
    bool dataDone = false;   // every value of the domain handed out
    bool startBoundOwed = false;
    bool endBoundOwed = false;
    uint64_t startBoundTime = 0;  // the start bound is the value there (inclusive domains) or beyond
    bool startInclusive = true;   // a value at startBoundTime belongs to the values read
    uint64_t endBoundTime = 0;    // 0: open end, no time to bound
};

class Session {
  public:
    NodeId sessionId;
    NodeId authenticationToken;
    std::string name;
    uint64_t conn = 0;     // channel the session is bound to (0: none)
    std::string peer;      // address of the creating peer
    bool secured = false;  // created over a secured channel
    bool activated = false;
    double timeoutMs = kDefaultSessionTimeoutMs;
    std::string serverNonce;        // the last one sent: the client signs it, passwords carry it
    std::string clientCertificate;  // leaf DER of a secured channel's client, empty under None
    std::string userName;           // empty: anonymous
    Millis lastActivity = 0;
    Millis created = 0;
    std::deque<PendingPublish> publishQueue;
    std::map<uint32_t, std::unique_ptr<Subscription>> subscriptions;
    std::deque<ContinuationPoint> continuationPoints;
    std::deque<HistoryContinuation> historyContinuations;  // oldest first

    Subscription* FindSubscription(uint32_t id) {
        auto it = subscriptions.find(id);
        return it == subscriptions.end() ? nullptr : it->second.get();
    }
    // The revised time-out after the last request; a session never activated ends sooner.
    Millis Deadline() const {
        const Millis idle = lastActivity + static_cast<Millis>(timeoutMs);
        return activated ? idle : std::min(idle, created + kUnactivatedSessionTimeoutMs);
    }
    // Bytes of the memory budget its subscriptions hold.
    uint64_t Memory() const {
        uint64_t n = 0;
        for (const auto& [id, sub] : subscriptions) n += sub->charged;
        return n;
    }
    // Takes the continuation point with this id out of the session (false when unknown).
    bool TakeContinuationPoint(const std::string& id, ContinuationPoint& out);
    // Publish requests of another channel can no longer be answered.
    void DropPublishRequestsOf(uint64_t conn);
};

// The sessions by authentication token, and the random and sequential ids the server hands out.
class SessionTable {
  public:
    // seed 0: ids and tokens from the system's cryptographic generator; otherwise a replayable
    // sequence from the seed (fuzzing, tests).
    explicit SessionTable(uint64_t seed);

    Session* Find(const NodeId& token);
    Session* FindByKey(const std::string& key);
    bool Contains(const NodeId& token) const { return sessions_.count(NodeKey(token)) != 0; }
    void Add(std::unique_ptr<Session> s);
    std::unique_ptr<Session> Take(const std::string& key);
    std::vector<std::string> Keys() const;
    size_t Count() const { return sessions_.size(); }
    size_t CountOfPeer(const std::string& peer) const;
    template <typename F>
    void ForEach(F&& f) {
        for (auto& [key, s] : sessions_) f(key, *s);
    }
    template <typename F>
    void ForEach(F&& f) const {
        for (const auto& [key, s] : sessions_) f(key, static_cast<const Session&>(*s));
    }

    std::string RandomBytes(size_t n);
    Guid RandomGuid();
    uint32_t NewSubscriptionId() { return nextSubscriptionId_++; }
    uint64_t NewContinuationId() { return nextContinuationId_++; }

  private:
    std::map<std::string, std::unique_ptr<Session>> sessions_;  // by NodeKey(authentication token)
    uint64_t seed_;
    std::mt19937_64 rng_;  // only when seeded
    uint32_t nextSubscriptionId_ = 1;
    uint64_t nextContinuationId_ = 1;
};

}  // namespace qora::ua
