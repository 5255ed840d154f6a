// A small blocking OPC UA client over a real socket (loopback): the native load generator of the
// benchmark and the client of the resource tests.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tests/integration/ua/ua_mini_secure.h"
#include "tests/unit/ua/ua_client_codec.h"

namespace qora::ua::testing {

// from: a loopback source address (127.x.y.z) the connection comes from; null: the system's choice.
inline int ConnectLoopback(uint16_t port, const char* from = nullptr) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (from) {
        sockaddr_in src{};
        src.sin_family = AF_INET;
        ::inet_pton(AF_INET, from, &src.sin_addr);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&src), sizeof src) != 0) {
            ::close(fd);
            return -1;
        }
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

class MiniClient {
  public:
    ~MiniClient() { Close(); }
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    int Fd() const { return fd_; }

    bool Connect(uint16_t port, uint32_t bufferSize = 65535, const char* from = nullptr) {
        fd_ = ConnectLoopback(port, from);
        if (fd_ < 0) return false;
        if (!SendAll(codec.Hello("opc.tcp://127.0.0.1:" + std::to_string(port), bufferSize, bufferSize)))
            return false;
        ServerMessage ack;
        if (!Next(ack, 5000) || ack.type != "ACK") return false;
        if (!SendAll(security ? security->OpenRequest(++codec.sequence, ++codec.requestId) : codec.Open()))
            return false;
        ServerMessage opn;
        if (!Next(opn, 5000) || opn.type != "OPN") return false;
        Decoder d(opn.body);
        ReadResponseHeader(d);
        d.UInt32();
        codec.channelId = d.UInt32();
        codec.tokenId = d.UInt32();
        return true;
    }

    // Sends a request and waits for the response to it; other responses (Publish) are queued.
    bool Call(uint32_t typeId, const BodyWriter& body, ServerMessage& out, int timeoutMs = 5000) {
        if (!SendAll(codec.Request(typeId, body))) return false;
        const uint32_t rid = codec.requestId;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                  deadline - std::chrono::steady_clock::now())
                                                  .count());
            ServerMessage m;
            if (left <= 0 || !Receive(m, left)) return false;
            if (m.type == "MSG" && m.requestId == rid) {
                out = std::move(m);
                return true;
            }
            if (m.type == "ERR") return false;
            other.push_back(std::move(m));
        }
    }

    StatusCode CreateSession(double requestedTimeoutMs = 60000) {
        ServerMessage m;
        if (!Call(
                461,
                [&](Encoder& e) {
                    if (security)
                        e.String(std::string_view(crypto::SubjectAltNameUri(security->certificate)));
                    else
                        e.String(std::string_view("urn:mini"));
                    e.NullString();
                    e.Text(LocalizedText{});
                    e.UInt32(1);
                    e.NullString();
                    e.NullString();
                    e.ArrayLength(-1);
                    e.NullString();
                    e.String(std::string_view("opc.tcp://127.0.0.1"));
                    e.String(std::string_view("mini"));
                    e.ByteString(Nonce());
                    if (security)
                        e.ByteString(security->certificate);
                    else
                        e.NullString();
                    e.Double(requestedTimeoutMs);
                    e.UInt32(0);
                },
                m))
            return status::BadCommunicationError;
        Decoder d(m.body);
        const auto h = ReadResponseHeader(d);
        if (h.serviceResult != status::Good) return h.serviceResult;
        d.Node();
        codec.authenticationToken = d.Node();
        d.Double();
        serverNonce = d.StringValue();
        return status::Good;
    }

    StatusCode Activate() {
        ServerMessage m;
        if (!Call(
                467,
                [&](Encoder& e) {
                    // Secured: the client's signature over the server certificate and nonce.
                    if (security) {
                        e.String(std::string_view(security->Params().signatureUri));
                        e.ByteString(crypto::Sign(security->Params(), security->key,
                                                  security->serverCertificate + serverNonce)
                                         .value_or(std::string()));
                    } else {
                        e.NullString();
                        e.NullString();
                    }
                    e.ArrayLength(0);
                    e.ArrayLength(0);
                    e.Extension(
                        MakeExtension(321, [](Encoder& b) { b.String(std::string_view("anonymous")); }));
                    e.NullString();
                    e.NullString();
                },
                m))
            return status::BadCommunicationError;
        Decoder d(m.body);
        return ReadResponseHeader(d).serviceResult;
    }

    StatusCode CloseSession() {
        ServerMessage m;
        if (!Call(
                473, [](Encoder& e) { e.Boolean(true); }, m))
            return status::BadCommunicationError;
        Decoder d(m.body);
        return ReadResponseHeader(d).serviceResult;
    }

    // Reads the Value of nodes; returns false on a transport failure or a service fault.
    bool Read(const std::vector<NodeId>& nodes, double maxAge, std::vector<DataValue>& out) {
        ServerMessage m;
        if (!Call(
                631,
                [&](Encoder& e) {
                    e.Double(maxAge);
                    e.UInt32(2);
                    e.ArrayLength(static_cast<int32_t>(nodes.size()));
                    for (const NodeId& n : nodes) {
                        e.Node(n);
                        e.UInt32(13);
                        e.NullString();
                        e.Qualified({});
                    }
                },
                m))
            return false;
        Decoder d(m.body);
        if (ReadResponseHeader(d).serviceResult != status::Good) return false;
        out.clear();
        for (size_t i = 0, n = d.ArrayCount(1, 1); i < n; ++i) out.push_back(d.Data());
        return true;
    }

    uint32_t CreateSubscription(double interval, uint32_t keepAlive = 10) {
        ServerMessage m;
        if (!Call(
                787,
                [&](Encoder& e) {
                    e.Double(interval);
                    e.UInt32(keepAlive * 10);
                    e.UInt32(keepAlive);
                    e.UInt32(0);
                    e.Boolean(true);
                    e.Byte(0);
                },
                m))
            return 0;
        Decoder d(m.body);
        if (ReadResponseHeader(d).serviceResult != status::Good) return 0;
        return d.UInt32();
    }

    size_t Monitor(uint32_t subId, const std::vector<NodeId>& nodes, double samplingInterval) {
        ServerMessage m;
        if (!Call(
                751,
                [&](Encoder& e) {
                    e.UInt32(subId);
                    e.UInt32(2);
                    e.ArrayLength(static_cast<int32_t>(nodes.size()));
                    for (size_t i = 0; i < nodes.size(); ++i) {
                        e.Node(nodes[i]);
                        e.UInt32(13);
                        e.NullString();
                        e.Qualified({});
                        e.UInt32(2);
                        e.UInt32(static_cast<uint32_t>(i));
                        e.Double(samplingInterval);
                        e.Extension({});
                        e.UInt32(1);
                        e.Boolean(true);
                    }
                },
                m, 30000))
            return 0;
        Decoder d(m.body);
        if (ReadResponseHeader(d).serviceResult != status::Good) return 0;
        size_t good = 0;
        for (size_t i = 0, n = d.ArrayCount(1, 1); i < n; ++i) {
            if (d.Status() == status::Good) ++good;
            d.UInt32();
            d.Double();
            d.UInt32();
            d.Extension();
        }
        return good;
    }

    // Sends a Publish acknowledging the given sequence number (0: none).
    bool SendPublish(uint32_t subId = 0, uint32_t ackSequence = 0) {
        return SendAll(codec.Request(
            826,
            [&](Encoder& e) {
                if (ackSequence == 0) {
                    e.ArrayLength(0);
                    return;
                }
                e.ArrayLength(1);
                e.UInt32(subId);
                e.UInt32(ackSequence);
            },
            65535, 0));
    }

    // Next complete message from the server, or false on time-out / closed socket.
    bool Next(ServerMessage& out, int timeoutMs) {
        if (!other.empty()) {
            out = std::move(other.front());
            other.pop_front();
            return true;
        }
        return Receive(out, timeoutMs);
    }

    // Next message from the socket (not from the queue of set-aside responses).
    bool Receive(ServerMessage& out, int timeoutMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            if (!ready_.empty()) {
                out = std::move(ready_.front());
                ready_.pop_front();
                return true;
            }
            const int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                  deadline - std::chrono::steady_clock::now())
                                                  .count());
            if (left <= 0) return false;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, left) <= 0) continue;
            char buf[65536];
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) return false;
            std::string bytes(buf, static_cast<size_t>(n));
            if (security) bytes = security->Unseal(bytes);
            for (auto& m : reader.Feed(bytes)) ready_.push_back(std::move(m));
        }
    }

    // True when the server closed the connection within timeoutMs.
    bool WaitClosed(int timeoutMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                  deadline - std::chrono::steady_clock::now())
                                                  .count());
            if (left <= 0) return false;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, left) <= 0) continue;
            char buf[4096];
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) return true;
        }
    }

    bool SendAll(const std::string& plain) {
        const std::string& bytes = security ? security->Seal(plain) : plain;
        size_t pos = 0;
        while (pos < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.data() + pos, bytes.size() - pos, MSG_NOSIGNAL);
            if (n <= 0) return false;
            pos += static_cast<size_t>(n);
        }
        return true;
    }

    ClientCodec codec;
    ServerReader reader;
    // Set before Connect: the channel is secured with this policy, mode and key.
    std::unique_ptr<MiniSecurity> security;
    std::string serverNonce;  // of CreateSession
    std::deque<ServerMessage> other;

    // A fresh client nonce per session: servers may refuse a nonce they have seen.
    static std::string Nonce() {
        static std::mt19937_64 rng{std::random_device{}()};
        std::string n(32, '\0');
        for (char& ch : n) ch = static_cast<char>(rng());
        return n;
    }

  private:
    int fd_ = -1;
    std::deque<ServerMessage> ready_;
};

}  // namespace qora::ua::testing
