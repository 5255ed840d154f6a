// The session table and the state of one session.
#include "ua/services/session.h"

#include <algorithm>

#include "ua/security/crypto.h"

namespace qora::ua {

bool Session::TakeContinuationPoint(const std::string& cpId, ContinuationPoint& out) {
    auto it = std::find_if(continuationPoints.begin(), continuationPoints.end(),
                           [&](const ContinuationPoint& p) { return p.id == cpId; });
    if (it == continuationPoints.end()) return false;
    out = std::move(*it);
    continuationPoints.erase(it);
    return true;
}

void Session::DropPublishRequestsOf(uint64_t channel) {
    auto& q = publishQueue;
    q.erase(std::remove_if(q.begin(), q.end(), [&](const PendingPublish& p) { return p.conn == channel; }),
            q.end());
}

SessionTable::SessionTable(uint64_t seed) : seed_(seed), rng_(seed) {}

Session* SessionTable::Find(const NodeId& token) {
    // Every request looks its session up: the key is built in a kept buffer.
    thread_local std::string key;
    NodeKeyInto(token, key);
    return FindByKey(key);
}

Session* SessionTable::FindByKey(const std::string& key) {
    auto it = sessions_.find(key);
    return it == sessions_.end() ? nullptr : it->second.get();
}

void SessionTable::Add(std::unique_ptr<Session> s) {
    std::string key = NodeKey(s->authenticationToken);
    sessions_.emplace(std::move(key), std::move(s));
}

std::unique_ptr<Session> SessionTable::Take(const std::string& key) {
    auto it = sessions_.find(key);
    if (it == sessions_.end()) return nullptr;
    std::unique_ptr<Session> s = std::move(it->second);
    sessions_.erase(it);
    return s;
}

std::vector<std::string> SessionTable::Keys() const {
    std::vector<std::string> keys;
    keys.reserve(sessions_.size());
    for (const auto& [key, s] : sessions_) keys.push_back(key);
    return keys;
}

size_t SessionTable::CountOfPeer(const std::string& peer) const {
    size_t n = 0;
    for (const auto& [key, s] : sessions_) n += s->peer == peer;
    return n;
}

std::string SessionTable::RandomBytes(size_t n) {
    if (seed_ == 0) return crypto::RandomBytes(n);
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i += 8) {
        uint64_t r = rng_();
        for (size_t j = 0; j < 8 && i + j < n; ++j) s[i + j] = static_cast<char>(r >> (8 * j));
    }
    return s;
}

Guid SessionTable::RandomGuid() {
    Guid g;
    const std::string r = RandomBytes(16);
    uint64_t a = 0, b = 0;
    for (int i = 0; i < 8; ++i) {
        a |= uint64_t{static_cast<uint8_t>(r[i])} << (8 * i);
        b |= uint64_t{static_cast<uint8_t>(r[8 + i])} << (8 * i);
    }
    g.data1 = static_cast<uint32_t>(a);
    g.data2 = static_cast<uint16_t>(a >> 32);
    g.data3 = static_cast<uint16_t>(((a >> 48) & 0x0FFF) | 0x4000);  // version 4
    for (int i = 0; i < 8; ++i) g.data4[i] = static_cast<uint8_t>(b >> (8 * i));
    g.data4[0] = static_cast<uint8_t>((g.data4[0] & 0x3F) | 0x80);  // RFC 4122 variant
    return g;
}

}  // namespace qora::ua
