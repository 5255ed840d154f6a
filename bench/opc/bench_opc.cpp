// Timings of the server object: the OPC start, one periodic push, and reads of 1 000 items.
// Usage: bench_opc [items...]   (default 10000 200000)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "config/records.h"
#include "opc/opc_server.h"

using namespace qora;
using Clock = std::chrono::steady_clock;

namespace {

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

template <typename F>
double MedianMs(int runs, F&& f) {
    std::vector<double> t;
    for (int i = 0; i < runs; ++i) {
        const auto a = Clock::now();
        f();
        t.push_back(Ms(Clock::now() - a));
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

// A model with `items` selected parameters, spread over as few points as the limits allow.
std::unique_ptr<TConfigModel, ModelDeleter> MakeModel(int items) {
    std::unique_ptr<TConfigModel, ModelDeleter> m(CreateModel());
    for (int k = 0; k < kParamsPerDevice; ++k)
        CopyName(m->paramNames[k], u"Параметр_" + std::u16string(1, char16_t(u'A' + k)), 63);
    m->typeCount = 1;
    CopyName(m->typeNames[0], u"Тип", 63);
    m->typeMasks[0] = 0xFFFFFFFFu;
    int left = items;
    for (int p = 0; p < kMaxPoints && left > 0; ++p) {
        AppendPoint(*m, u"Адаптер_" + std::u16string(1, char16_t(u'0' + p % 10)), "ttyS" + std::to_string(p),
                    1, true);
        for (int d = 0; d < 125 && left > 0; ++d) {
            const int n = std::min(left, kParamsPerDevice);
            const uint32_t mask = n == 32 ? 0xFFFFFFFFu : ((1u << n) - 1);
            AppendDevice(*m, p, u"Устройство", 0, uint8_t(d + 1), mask);
            left -= n;
        }
    }
    return m;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> sizes;
    for (int i = 1; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
    if (sizes.empty()) sizes = {10000, 200000};
    for (int items : sizes) {
        auto model = MakeModel(items);
        COPCServer server;
        ua::ServerConfig cfg;
        cfg.host = "127.0.0.1";
        cfg.port = 0;
        server.GBSetEndpointConfig(cfg);
        const auto t0 = Clock::now();
        server.InitializeOPC(*model);
        const double initMs = Ms(Clock::now() - t0);
        if (server.ItemCount() != items) {
            std::fprintf(stderr, "expected %d items, got %d\n", items, server.ItemCount());
            return 1;
        }
        const double pushMs = MedianMs(9, [&] { server.PushAll(*model); });
        std::printf("items %7d: OPC start %8.2f ms, push %8.3f ms (%.1f ns per item)\n", items, initMs,
                    pushMs, pushMs * 1e6 / items);

        const int readCount = std::min(1000, items);
        std::vector<uint32_t> handles;
        for (int i = 0; i < readCount; ++i) handles.push_back(server.ItemHandle((i * 7919) % items));
        std::vector<ua::ItemSample> out(static_cast<size_t>(readCount));
        auto& be = server.GBBackend();
        const double deviceMs =
            MedianMs(101, [&] { be.ReadDevice(handles.data(), handles.size(), out.data()); });
        const double refreshMs = MedianMs(101, [&] { be.RefreshFromDevice(handles.data(), handles.size()); });
        const double cacheMs =
            MedianMs(101, [&] { be.ReadCache(handles.data(), handles.size(), out.data()); });
        double afterEditMs = 0;
        {
            // The first read after an edit looks the moved records up again: delete the first
            // device, which moves every other record of its point.
            afterEditMs = MedianMs(11, [&] {
                server.BeginModelEdit();
                DeleteDevice(*model, 0, 0);
                server.EndModelEdit();
                be.ReadDevice(handles.data(), handles.size(), out.data());
            });
        }
        std::printf(
            "  read of %d items: device (arrays) %.3f ms, refresh (null values) %.3f ms, cache %.3f ms, "
            "device read right after an edit %.3f ms\n",
            readCount, deviceMs, refreshMs, cacheMs, afterEditMs);
    }
    return 0;
}
