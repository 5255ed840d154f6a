// State of the endpoint's connections: the transport handshake, the secure channel and its
// token, messages being assembled from chunks; and the table of open connections.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "ua/limits.h"

namespace qora::ua {

struct ChannelSecurity;

// Whether seq may follow last: one above, or after passing 4294966271 a wrap to below 1024.
inline bool SequenceFollows(uint32_t last, uint32_t seq) {
    return seq == last + 1 || (last > 4294966271u && seq < 1024);
}

struct PartialMessage {
    uint32_t requestId = 0;
    std::string body;
    uint32_t chunks = 0;
};

class Connection {
  public:
    // HEL expected, then OPN, then MSG/OPN renewals/CLO.
    enum class State { AwaitHello, AwaitOpen, Open };

    State state = State::AwaitHello;
    uint64_t id = 0;
    Millis accepted = 0;
    std::string peer;  // the peer's address, for the handshake limits
    // Since when the channel has had no activated session (0: it has one). A channel that has
    // none for the handshake time-out is closed: it only holds a place in the table.
    Millis idleSince = 0;
    std::string input;  // bytes received and not yet framed
    uint64_t inputCharged = 0;
    // Negotiated in HEL/ACK.
    uint32_t bufferSize = kOwnBufferSize;
    uint32_t peerMaxMessageSize = 0;  // 0: no limit
    uint32_t peerMaxChunkCount = 0;
    std::string endpointUrl;
    // Secure channel.
    uint32_t channelId = 0;
    uint32_t tokenId = 0;
    uint32_t previousTokenId = 0;
    Millis tokenCreated = 0;
    uint32_t tokenLifetime = 0;
    uint32_t sendSequence = 0;
    uint32_t receiveSequence = 0;
    bool channelOpenedNotified = false;
    std::vector<PartialMessage> partial;
    // Set on a channel opened with a security policy other than None.
    std::shared_ptr<ChannelSecurity> security;

    bool IsOpen() const { return state == State::Open; }
    // Until the channel is open, the handshake time-out from accept; then the end of the token's
    // lifetime with its grace, or earlier the handshake time-out from when the channel last had
    // no activated session.
    Millis Deadline(Millis handshakeTimeoutMs) const {
        if (!IsOpen()) return accepted + handshakeTimeoutMs;
        const Millis token =
            tokenCreated + static_cast<Millis>(tokenLifetime) * kTokenGraceNumerator / kTokenGraceDenominator;
        return idleSince != 0 ? std::min(token, idleSince + handshakeTimeoutMs) : token;
    }
};

// The connections by transport id, and the ids handed to secure channels and their tokens.
class ChannelTable {
  public:
    Connection* Find(uint64_t conn) {
        auto it = connections_.find(conn);
        return it == connections_.end() ? nullptr : it->second.get();
    }
    Connection& Add(uint64_t conn, Millis now) {
        auto c = std::make_unique<Connection>();
        c->id = conn;
        c->accepted = now;
        return *connections_.emplace(conn, std::move(c)).first->second;
    }
    // Removes the connection and hands it over (null when unknown).
    std::unique_ptr<Connection> Take(uint64_t conn) {
        auto it = connections_.find(conn);
        if (it == connections_.end()) return nullptr;
        std::unique_ptr<Connection> c = std::move(it->second);
        connections_.erase(it);
        return c;
    }
    std::vector<uint64_t> Ids() const {
        std::vector<uint64_t> ids;
        ids.reserve(connections_.size());
        for (const auto& [id, c] : connections_) ids.push_back(id);
        return ids;
    }
    size_t Count() const { return connections_.size(); }
    // The connection accepted first among those pred holds for (null when none).
    template <typename P>
    Connection* Oldest(P&& pred) {
        Connection* best = nullptr;
        for (auto& [id, c] : connections_)
            if (pred(*c) && (!best || c->accepted < best->accepted ||
                             (c->accepted == best->accepted && c->id < best->id)))
                best = c.get();
        return best;
    }
    template <typename F>
    void ForEach(F&& f) {
        for (auto& [id, c] : connections_) f(*c);
    }
    // Channel and token ids are never 0.
    uint32_t NewChannelId() { return Next(nextChannelId_); }
    uint32_t NewTokenId() { return Next(nextTokenId_); }

  private:
    static uint32_t Next(uint32_t& counter) {
        const uint32_t v = counter++;
        if (counter == 0) counter = 1;
        return v;
    }
    std::unordered_map<uint64_t, std::unique_ptr<Connection>> connections_;
    uint32_t nextChannelId_ = 1;
    uint32_t nextTokenId_ = 1;
};

}  // namespace qora::ua
