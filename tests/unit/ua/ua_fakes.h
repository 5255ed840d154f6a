// Fakes for driving the protocol engine without sockets: a toolkit with Float items and a
// transport that keeps what the engine sends.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tests/unit/ua/ua_client_codec.h"
#include "ua/engine/engine.h"

namespace qora::ua::testing {

class FakeBackend : public Backend {
  public:
    explicit FakeBackend(std::vector<std::string> ids = {}) {
        for (size_t i = 0; i < ids.size(); ++i) AddItem(ids[i]);
    }
    void AddItem(const std::string& itemId, float value = 0, uint16_t quality = 192) {
        ItemInfo info;
        info.handle = static_cast<uint32_t>(100 + items.size());
        info.itemId = itemId;
        items.push_back(info);
        samples.push_back({value, quality, 132000000000000000ull, true});
    }
    void Set(size_t index, float value, uint16_t quality = 192, uint64_t time = 0) {
        samples[index].value = value;
        samples[index].quality = quality;
        samples[index].sourceTime = time ? time : samples[index].sourceTime + 10000000;
        ++generation;
    }
    std::vector<ItemInfo> ListItems() override { return items; }
    uint64_t CacheGeneration() override { return generation; }
    void ReadCache(const uint32_t* h, size_t n, ItemSample* out) override {
        calls["ReadCache"]++;
        Fill(h, n, out);
    }
    void ReadDevice(const uint32_t* h, size_t n, ItemSample* out) override {
        calls["ReadDevice"]++;
        if (deviceAnswers) Fill(h, n, out);
    }
    void RefreshFromDevice(const uint32_t* h, size_t n) override {
        calls["RefreshFromDevice"]++;
        refreshed.assign(h, h + n);
    }
    void Write(const uint32_t* h, size_t n) override {
        calls["Write"]++;
        written.assign(h, h + n);
    }
    void SessionCreated() override { calls["SessionCreated"]++; }
    void SessionClosed() override { calls["SessionClosed"]++; }
    void ChannelOpened() override { calls["ChannelOpened"]++; }
    void ChannelClosed() override { calls["ChannelClosed"]++; }
    void ItemsActivated(const uint32_t*, size_t n) override {
        active += static_cast<int>(n);
        calls["ItemsActivated"]++;
    }
    void ItemsDeactivated(const uint32_t*, size_t n) override {
        active -= static_cast<int>(n);
        calls["ItemsDeactivated"]++;
    }
    std::vector<uint32_t> Locales() override {
        return {0x0000, 0x0009, 0x0800, 0x0400, 0x0409, 0x0419, 0x0019};
    }

    std::vector<ItemInfo> items;
    std::vector<ItemSample> samples;
    uint64_t generation = 1;
    bool deviceAnswers = true;
    std::map<std::string, int> calls;
    std::vector<uint32_t> refreshed, written;
    int active = 0;

  private:
    void Fill(const uint32_t* h, size_t n, ItemSample* out) {
        for (size_t i = 0; i < n; ++i) {
            const size_t k = h[i] - 100;
            if (h[i] < 100 || k >= samples.size())
                out[i].valid = false;
            else
                out[i] = samples[k];
        }
    }
};

class FakeTransport : public Transport {
  public:
    void Send(uint64_t conn, std::string_view bytes) override { out[conn] += bytes; }
    void Close(uint64_t conn) override { closed.insert(conn); }
    std::string Take(uint64_t conn) {
        std::string s;
        s.swap(out[conn]);
        return s;
    }
    std::map<uint64_t, std::string> out;
    std::set<uint64_t> closed;
};

// One client connection to an engine, with helpers for the usual handshake.
struct EngineClient {
    Engine& engine;
    FakeTransport& transport;
    uint64_t conn;
    Millis& now;
    ClientCodec codec;
    ServerReader reader;
    std::string peer = {};  // the address the connection comes from

    std::vector<ServerMessage> Send(const std::string& bytes) {
        engine.Receive(conn, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), now);
        return reader.Feed(transport.Take(conn));
    }
    bool Closed() const { return transport.closed.count(conn) != 0; }

    bool Connect(const std::string& url = "opc.tcp://127.0.0.1:4840", uint32_t bufferSize = 65535) {
        if (!engine.Accept(conn, now, peer)) return false;
        auto ack = Send(codec.Hello(url, bufferSize, bufferSize));
        if (ack.size() != 1 || ack[0].type != "ACK") return false;
        auto opn = Send(codec.Open());
        if (opn.size() != 1 || opn[0].type != "OPN") return false;
        Decoder d(opn[0].body);
        ReadResponseHeader(d);
        d.UInt32();
        codec.channelId = d.UInt32();
        codec.tokenId = d.UInt32();
        return true;
    }

    // Sends one request and returns its single response message.
    ServerMessage Call(uint32_t typeId, const BodyWriter& body, size_t chunkSize = 65535,
                       uint32_t timeoutHint = 10000) {
        auto msgs = Send(codec.Request(typeId, body, chunkSize, timeoutHint));
        if (msgs.size() != 1) return ServerMessage{};
        return msgs[0];
    }

    StatusCode CreateSession(double requestedTimeoutMs = 60000, double* revisedTimeoutMs = nullptr) {
        auto m = Call(461, [&](Encoder& e) {
            e.String(std::string_view("urn:test"));
            e.NullString();
            e.Text(LocalizedText{});
            e.UInt32(1);
            e.NullString();
            e.NullString();
            e.ArrayLength(-1);
            e.NullString();
            e.String(std::string_view("opc.tcp://127.0.0.1:4840"));
            e.String(std::string_view("s"));
            e.ByteString(std::string(32, 'n'));
            e.NullString();
            e.Double(requestedTimeoutMs);
            e.UInt32(0);
        });
        Decoder d(m.body);
        const auto h = ReadResponseHeader(d);
        if (h.serviceResult != status::Good) return h.serviceResult;
        d.Node();
        codec.authenticationToken = d.Node();
        if (revisedTimeoutMs) *revisedTimeoutMs = d.Double();
        return status::Good;
    }

    StatusCode Activate() {
        auto m = Call(467, [](Encoder& e) {
            e.NullString();
            e.NullString();
            e.ArrayLength(0);
            e.ArrayLength(0);
            e.Extension(MakeExtension(321, [](Encoder& b) { b.String(std::string_view("anonymous")); }));
            e.NullString();
            e.NullString();
        });
        Decoder d(m.body);
        return ReadResponseHeader(d).serviceResult;
    }

    bool OpenSession() { return Connect() && CreateSession() == status::Good && Activate() == status::Good; }
};

}  // namespace qora::ua::testing
