// The endpoint on real loopback sockets: handshake time-out under a flood of silent connections
// while a client keeps reading, session flood, CloseSession loops, bind retry and the lifecycle.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "opc/ua/ua_server.h"
#include "tests/integration/ua/ua_mini_client.h"
#include "tests/unit/ua/ua_fakes.h"

using namespace qora::ua;
using namespace qora::ua::testing;

namespace {

// FakeBackend is called from the server's network thread; the test thread only reads atomics.
class CountingBackend : public FakeBackend {
public:
    explicit CountingBackend(int count) {
        for (int i = 0; i < count; ++i) AddItem("item" + std::to_string(i), static_cast<float>(i));
    }
    void SessionCreated() override { ++sessions; }
    void SessionClosed() override { --sessions; }
    void ChannelOpened() override { ++channels; }
    void ChannelClosed() override { --channels; }
    void ItemsActivated(const uint32_t*, size_t n) override { activeItems += static_cast<int>(n); }
    void ItemsDeactivated(const uint32_t*, size_t n) override { activeItems -= static_cast<int>(n); }
    void ReadCache(const uint32_t* h, size_t n, ItemSample* out) override {
        for (size_t i = 0; i < n; ++i) out[i] = {1.0f, 192, 132000000000000000ull, h[i] >= 100};
    }
    void ReadDevice(const uint32_t* h, size_t n, ItemSample* out) override { ReadCache(h, n, out); }
    std::atomic<int> sessions{0}, channels{0}, activeItems{0};
};

template <typename F>
bool WaitFor(F f, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        if (f()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return f();
}

ServerConfig LoopbackConfig() {
    ServerConfig c;
    c.host = "127.0.0.1";
    c.port = 0;
    return c;
}

}  // namespace

TEST(UaResource, SilentConnectionsAreClosedByTheHandshakeTimeoutWhileAClientKeepsReading) {
    CountingBackend backend(100);
    ServerConfig config = LoopbackConfig();
    config.handshakeTimeoutMs = 1000;
    config.maxChannels = 300;
    Server server(backend, config);
    ASSERT_TRUE(server.Start());

    MiniClient reader;
    ASSERT_TRUE(reader.Connect(server.Port()));
    ASSERT_EQ(reader.CreateSession(), status::Good);
    ASSERT_EQ(reader.Activate(), status::Good);

    std::vector<int> silent;
    for (int i = 0; i < 200; ++i) {
        const int fd = ConnectLoopback(server.Port());
        ASSERT_GE(fd, 0);
        silent.push_back(fd);
    }
    std::vector<NodeId> nodes;
    for (int i = 0; i < 100; ++i) nodes.push_back(NodeId::String(1, "item" + std::to_string(i)));
    const auto start = std::chrono::steady_clock::now();
    size_t closed = 0;
    int reads = 0;
    std::vector<bool> isClosed(silent.size(), false);
    while (closed < silent.size() && std::chrono::steady_clock::now() - start < std::chrono::seconds(10)) {
        std::vector<DataValue> values;
        ASSERT_TRUE(reader.Read(nodes, 0, values)) << "read " << reads;
        ASSERT_EQ(values.size(), 100u);
        ++reads;
        for (size_t i = 0; i < silent.size(); ++i) {
            if (isClosed[i]) continue;
            char b[256];
            ssize_t n;
            while ((n = ::recv(silent[i], b, sizeof b, MSG_DONTWAIT)) > 0) {
            }
            if (n == 0) {  // the ERR was read, then end of stream
                isClosed[i] = true;
                ++closed;
            }
        }
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_EQ(closed, silent.size());
    EXPECT_GE(elapsed.count(), 800);
    EXPECT_GT(reads, 5);
    for (int fd : silent) ::close(fd);
    EXPECT_EQ(backend.channels.load(), 1);
}

TEST(UaResource, SessionFloodStopsAtTheConfiguredLimit) {
    CountingBackend backend(1);
    ServerConfig config = LoopbackConfig();
    config.maxSessions = 10;
    Server server(backend, config);
    ASSERT_TRUE(server.Start());
    MiniClient c;
    ASSERT_TRUE(c.Connect(server.Port()));
    int created = 0;
    StatusCode last = status::Good;
    for (int i = 0; i < 50 && last == status::Good; ++i) {
        last = c.CreateSession();
        if (last == status::Good) ++created;
    }
    EXPECT_EQ(created, 10);
    EXPECT_EQ(last, status::BadTooManySessions);
    EXPECT_EQ(backend.sessions.load(), 10);
    // A second channel is refused too, and reading on an existing session still works.
    MiniClient other;
    ASSERT_TRUE(other.Connect(server.Port()));
    EXPECT_EQ(other.CreateSession(), status::BadTooManySessions);
}

TEST(UaResource, CloseSessionLoopsLeaveNoSubscriptionsOrActiveItems) {
    CountingBackend backend(200);
    Server server(backend, LoopbackConfig());
    ASSERT_TRUE(server.Start());
    std::vector<NodeId> nodes;
    for (int i = 0; i < 200; ++i) nodes.push_back(NodeId::String(1, "item" + std::to_string(i)));
    MiniClient c;
    ASSERT_TRUE(c.Connect(server.Port()));
    for (int round = 0; round < 30; ++round) {
        ASSERT_EQ(c.CreateSession(), status::Good);
        ASSERT_EQ(c.Activate(), status::Good);
        const uint32_t sub = c.CreateSubscription(100);
        ASSERT_NE(sub, 0u);
        ASSERT_EQ(c.Monitor(sub, nodes, 100), 200u);
        ASSERT_TRUE(c.SendPublish());
        ASSERT_EQ(c.CloseSession(), status::Good) << "round " << round;
    }
    EXPECT_TRUE(WaitFor([&] { return backend.activeItems.load() == 0; }, 2000));
    EXPECT_EQ(backend.sessions.load(), 0);
}

TEST(UaResource, BindRetriesWhileThePortIsHeldAndGivesUpAfterTheRetryTime) {
    // Hold a port with a listening socket.
    int holder = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(holder, 1), 0);
    socklen_t len = sizeof a;
    ::getsockname(holder, reinterpret_cast<sockaddr*>(&a), &len);
    const uint16_t port = ntohs(a.sin_port);

    CountingBackend backend(1);
    ServerConfig config = LoopbackConfig();
    config.port = port;
    config.bindRetrySeconds = 1;
    {
        Server blocked(backend, config);
        std::string error;
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_FALSE(blocked.Start(&error));
        EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(900));
        EXPECT_NE(error.find("bind"), std::string::npos) << error;
        EXPECT_FALSE(blocked.Listening());
    }
    config.bindRetrySeconds = 10;
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        ::close(holder);
    });
    Server server(backend, config);
    std::string error;
    EXPECT_TRUE(server.Start(&error)) << error;
    release.join();
    EXPECT_EQ(server.Port(), port);
    MiniClient c;
    EXPECT_TRUE(c.Connect(port));
}

TEST(UaResource, StopListeningRefusesNewClientsAndDisconnectAllClosesChannels) {
    CountingBackend backend(1);
    Server server(backend, LoopbackConfig());
    ASSERT_TRUE(server.Start());
    EXPECT_TRUE(server.Listening());
    MiniClient c;
    ASSERT_TRUE(c.Connect(server.Port()));
    server.StopListening();
    EXPECT_FALSE(server.Listening());
    EXPECT_LT(ConnectLoopback(server.Port()), 0);
    ASSERT_EQ(c.CreateSession(), status::Good);  // the open channel still serves
    server.DisconnectAll();
    EXPECT_TRUE(c.WaitClosed(2000));
    EXPECT_TRUE(WaitFor([&] { return backend.channels.load() == 0; }, 2000));
}

TEST(UaResource, ShutdownReachesASubscriberThenEndsItsSession) {
    CountingBackend backend(1);
    Server server(backend, LoopbackConfig());
    ASSERT_TRUE(server.Start());
    MiniClient c;
    ASSERT_TRUE(c.Connect(server.Port()));
    ASSERT_EQ(c.CreateSession(), status::Good);
    ASSERT_EQ(c.Activate(), status::Good);
    const uint32_t sub = c.CreateSubscription(100);
    ASSERT_EQ(c.Monitor(sub, {NodeId(0, id::ShutdownReason)}, 100), 1u);
    ASSERT_TRUE(c.SendPublish());
    ASSERT_TRUE(c.SendPublish());
    ServerMessage first;
    ASSERT_TRUE(c.Next(first, 3000));  // the initial empty reason
    ASSERT_TRUE(c.SendPublish());
    std::thread stopper([&] { server.Shutdown("планово"); });
    bool sawReason = false;
    ServerMessage m;
    while (c.Next(m, 3000)) {
        if (m.body.find("планово") != std::string::npos) sawReason = true;
    }
    stopper.join();
    EXPECT_TRUE(sawReason);
    EXPECT_EQ(backend.sessions.load(), 0);
}
