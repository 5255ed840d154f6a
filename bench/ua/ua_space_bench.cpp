// Memory and time of building the address space for the largest configuration the records
// allow: 50 points × 128 devices × 32 parameters = 204 800 items, each placed under its device,
// with item IDs as the server object builds them. Prints the heap the address space keeps (and
// the resident-memory growth) per item, and the build time.
// Usage: ua_space_bench [points devices params]
#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "ua/nodes/address_space.h"

namespace {

long ResidentKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

size_t HeapInUse() {
    const struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;  // small blocks and mmapped ones
}

}  // namespace

int main(int argc, char** argv) {
    const int points = argc > 3 ? std::atoi(argv[1]) : 50;
    const int devices = argc > 3 ? std::atoi(argv[2]) : 128;
    const int params = argc > 3 ? std::atoi(argv[3]) : 32;
    std::vector<qora::ua::ItemInfo> items;
    items.reserve(size_t(points) * devices * params);
    uint32_t handle = 0x1001;
    for (int p = 0; p < points; ++p) {
        const std::string pointName = "Адаптер_" + std::to_string(p + 1) + "(ttyS" + std::to_string(p) + ")";
        for (int d = 0; d < devices; ++d) {
            const std::string deviceName =
                "Устройство_" + std::to_string(d + 1) + "(ТРМ138 №" + std::to_string(d + 1) + ")";
            for (int k = 0; k < params; ++k) {
                qora::ua::ItemInfo info(handle++,
                                        pointName + "." + deviceName + ".Параметр_" + std::to_string(k + 1));
                info.point = p;
                info.device = d;
                info.pointName = pointName;
                info.deviceName = deviceName;
                items.push_back(std::move(info));
            }
        }
    }
    malloc_trim(0);
    const size_t heapBefore = HeapInUse();
    const long rssBefore = ResidentKb();
    const auto t0 = std::chrono::steady_clock::now();
    auto* space = new qora::ua::AddressSpace;
    space->Build(items);
    const auto t1 = std::chrono::steady_clock::now();
    malloc_trim(0);
    const size_t heapAfter = HeapInUse();
    const long rssAfter = ResidentKb();
    const double n = static_cast<double>(items.size());
    std::printf("items %zu\n", items.size());
    std::printf("build_ms %.1f\n", std::chrono::duration<double, std::milli>(t1 - t0).count());
    std::printf("heap_bytes %zu  per_item %.1f\n", heapAfter - heapBefore,
                double(heapAfter - heapBefore) / n);
    std::printf("rss_delta_kb %ld  per_item %.1f\n", rssAfter - rssBefore,
                double(rssAfter - rssBefore) * 1024 / n);
    // Every item is found again by its NodeId (keeps the build from being optimized away).
    size_t found = 0;
    for (const auto& i : items) found += space->Find(qora::ua::NodeId::String(1, i.itemId)).has_value();
    std::printf("found %zu\n", found);
    delete space;
    return found == items.size() ? 0 : 1;
}
