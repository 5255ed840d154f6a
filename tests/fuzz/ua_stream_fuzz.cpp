// libFuzzer target: the whole TCP byte stream of one connection into the protocol engine, with
// the clock advancing between slices so time-outs and publishing cycles run too.
#include <cstddef>
#include <cstdint>

#include "tests/unit/ua/ua_fakes.h"
#include "ua/engine/engine.h"

using namespace qora::ua;

namespace {

class NullTransport : public Transport {
  public:
    void Send(uint64_t, std::string_view) override {}
    void Close(uint64_t) override { closed = true; }
    bool closed = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    testing::FakeBackend backend;
    for (int i = 0; i < 20; ++i) backend.AddItem("item" + std::to_string(i), static_cast<float>(i));
    // The recorded sessions name the test host's items.
    for (int i = 0; i < 40; ++i)
        backend.AddItem("Адаптер_1(COM1).Устройство" + std::to_string(i / 10) + "(T №" +
                        std::to_string(i / 10 + 1) + ").P" + std::to_string(i == 1 ? 0 : i % 10));
    ServerConfig config;
    config.randomSeed = 1;  // the recorded sessions' tokens
    config.maxMessageSize = 1 << 20;
    config.memoryBudgetBytes = 64ull << 20;
    NullTransport transport;
    Engine engine(backend, config, transport);
    engine.Build();
    Millis now = 1000;
    if (!engine.Accept(1, now)) return 0;
    // Slices of up to 4 KiB; the clock moves 37 ms between them.
    size_t pos = 0;
    while (pos < size && !transport.closed) {
        const size_t n = std::min<size_t>(4096, size - pos);
        engine.Receive(1, data + pos, n, now);
        pos += n;
        now += 37;
        engine.Tick(now);
    }
    for (int i = 0; i < 8 && !transport.closed; ++i) {
        now += 250;
        engine.Tick(now);
    }
    engine.CloseEverything();
    return 0;
}
