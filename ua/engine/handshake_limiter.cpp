#include "ua/engine/handshake_limiter.h"

#include <algorithm>

namespace qora::ua {

void HandshakeLimiter::Bucket::Refill(double rate, double burst, Millis now) {
    if (now > updated) tokens = std::min(burst, tokens + rate * static_cast<double>(now - updated) / 1000.0);
    updated = std::max(updated, now);
}

HandshakeLimiter::Peer& HandshakeLimiter::PeerOf(const std::string& peer, Millis now) {
    auto [it, added] = peers_.try_emplace(peer);
    if (added) it->second.opens = Bucket{limits_.openPeerBurst, now};
    it->second.lastSeen = std::max(it->second.lastSeen, now);
    return it->second;
}

void HandshakeLimiter::Forget(Millis now) {
    if (now - lastSweep_ < limits_.forgetAfterMs) return;
    lastSweep_ = now;
    std::erase_if(peers_, [&](const auto& entry) {
        return entry.second.unfinished == 0 && now - entry.second.lastSeen >= limits_.forgetAfterMs;
    });
}

bool HandshakeLimiter::AdmitOpen(const std::string& peer, Millis now, bool secured) {
    Forget(now);
    Peer& p = PeerOf(peer, now);
    p.opens.Refill(limits_.opensPerPeerPerSecond, limits_.openPeerBurst, now);
    Bucket& global = secured ? global_ : globalNone_;
    if (secured)
        global.Refill(limits_.opensPerSecond, limits_.openBurst, now);
    else
        global.Refill(limits_.noneOpensPerSecond, limits_.noneOpenBurst, now);
    const bool quiet = p.opens.tokens * 2 >= limits_.openPeerBurst;
    const double floor = quiet ? 1.0 : 1.0 + limits_.quietReserve;
    if (p.opens.tokens < 1.0 || global.tokens < floor) {
        ++refused_;
        return false;
    }
    p.opens.tokens -= 1.0;
    global.tokens -= 1.0;
    return true;
}

bool HandshakeLimiter::MayStartHandshake(const std::string& peer) const {
    auto it = peers_.find(peer);
    return it == peers_.end() || it->second.unfinished < limits_.unfinishedPerPeer;
}

void HandshakeLimiter::HandshakeStarted(const std::string& peer) {
    // lastSeen 0 until the peer's first OPN: the sweep keeps it while a handshake is unfinished.
    auto [it, added] = peers_.try_emplace(peer);
    if (added) it->second.opens = Bucket{limits_.openPeerBurst, 0};
    ++it->second.unfinished;
    ++unfinishedTotal_;
}

void HandshakeLimiter::HandshakeEnded(const std::string& peer) {
    auto it = peers_.find(peer);
    if (it == peers_.end() || it->second.unfinished == 0) return;
    --it->second.unfinished;
    --unfinishedTotal_;
}

size_t HandshakeLimiter::Unfinished(const std::string& peer) const {
    auto it = peers_.find(peer);
    return it == peers_.end() ? 0 : it->second.unfinished;
}

}  // namespace qora::ua
