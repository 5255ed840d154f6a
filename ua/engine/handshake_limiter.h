// Bounds the work a flood of connections and OpenSecureChannel requests can make the endpoint do.
// Each peer address has its own allowance of OPN requests per second and of unfinished
// handshakes, so one flooding host only exhausts its own; the server-wide allowance keeps a
// reserve that only peers that have been quiet may use, so a well-behaved client still gets its
// channel while many hosts flood together.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "ua/limits.h"

namespace qora::ua {

struct HandshakeLimits {
    // An OPN of an RSA policy costs about 1.5 ms of one core (a private-key decryption and a
    // signature); 100 per second keep a flood at about 15 % of a core, while even a restart of
    // every client of a plant (tens of channels) passes within a second.
    double opensPerSecond = 100;
    double openBurst = 100;
    // Of the server-wide allowance, this many are kept for peers whose own allowance is at least
    // half full (peers that have not been opening channels): a flood cannot take the last ones.
    double quietReserve = 20;
    // A client opens one channel per connection and reconnects after a failure; 20 per second
    // is far above that, and a burst of 40 lets a client with several connections start at once.
    // None OPNs cost no private-key work; they have a server-wide allowance of their own, so that
    // a flood of them from many hosts does not take the secured clients' allowance.
    double noneOpensPerSecond = 200;
    double noneOpenBurst = 200;
    double opensPerPeerPerSecond = 20;
    double openPeerBurst = 40;
    // Connections between accept and an open secure channel. A peer beyond its share is refused
    // at accept; beyond the server-wide bound the oldest unfinished handshake makes room.
    size_t unfinishedPerPeer = 16;
    size_t unfinished = 64;
    // Peer entries unused this long are forgotten (their allowance is full again by then).
    Millis forgetAfterMs = 10000;
};

class HandshakeLimiter {
  public:
    explicit HandshakeLimiter(HandshakeLimits limits = {})
        : limits_(limits), global_{limits.openBurst, 0}, globalNone_{limits.noneOpenBurst, 0} {}

    // An OpenSecureChannel request of peer at now (secured: of an RSA policy, otherwise None): true
    // when it may be processed (and is counted).
    bool AdmitOpen(const std::string& peer, Millis now, bool secured = true);

    // Accounting of unfinished handshakes (accept until the channel opens or the connection ends).
    // Returns false when the peer already has its share of unfinished handshakes.
    bool MayStartHandshake(const std::string& peer) const;
    // True when the server-wide bound is reached: the caller ends the oldest unfinished handshake
    // before starting another.
    bool UnfinishedFull() const { return unfinishedTotal_ >= limits_.unfinished; }
    void HandshakeStarted(const std::string& peer);
    void HandshakeEnded(const std::string& peer);

    size_t Unfinished() const { return unfinishedTotal_; }
    size_t Unfinished(const std::string& peer) const;
    uint64_t Refused() const { return refused_; }
    const HandshakeLimits& Limits() const { return limits_; }
    size_t PeerCount() const { return peers_.size(); }

  private:
    struct Bucket {
        double tokens;
        Millis updated;
        void Refill(double rate, double burst, Millis now);
    };
    struct Peer {
        Bucket opens;
        size_t unfinished = 0;
        Millis lastSeen = 0;
    };
    Peer& PeerOf(const std::string& peer, Millis now);
    void Forget(Millis now);

    HandshakeLimits limits_;
    Bucket global_;
    Bucket globalNone_;
    std::unordered_map<std::string, Peer> peers_;
    size_t unfinishedTotal_ = 0;
    uint64_t refused_ = 0;
    Millis lastSweep_ = 0;
};

}  // namespace qora::ua
