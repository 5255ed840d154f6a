// libFuzzer target for the reply receiver (clang, -DQORA_FUZZ=ON):
//   build-fuzz/tests/unit/comm/comm_receiver_fuzz -runs=2000000
// The input is split into notifications at every 0xFF 0xFE pair; after each
// one the receive state must be consistent and slot 31 untouched.
#include <cstdlib>
#include <cstring>

#include "comm/instrument_lines.h"
#include "config/records.h"

namespace {

qora::TConfigModel* Model() {
    static qora::TConfigModel* m = [] {
        qora::TConfigModel* model = qora::CreateModel();
        qora::AppendPoint(*model, u"P", "COM1", 1.0f, true);
        for (uint8_t a = 1; a <= 4; ++a) qora::AppendDevice(*model, 0, u"D", 0, a, 0xFFFFFFFFu);
        return model;
    }();
    return m;
}

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qora::TConfigModel* m = Model();
    qora::TConnectionPoint& p = m->points[0];
    for (int d = 0; d < 4; ++d) qora::StoreValue(p.devices[d], 31, -1.0f);
    qora::TInstrumentLines lines(*m);
    lines.SetClock([] { return 1.0; });
    size_t start = 0;
    for (size_t i = 0; i <= size; ++i) {
        const bool cut = i == size || (i + 1 < size && data[i] == 0xFF && data[i + 1] == 0xFE);
        if (!cut) continue;
        lines.Receive(0, data + start, i - start);
        Check(p.receivedCount < 250);
        Check(p.receivedCount == 0 || p.rxBuffer[0] == qora::kStartByte);
        for (int k = p.receivedCount; k < qora::kRxBufferSize; ++k) Check(p.rxBuffer[k] == 0);
        start = i + 2;
    }
    for (int d = 0; d < 4; ++d) Check(qora::LoadValue(p.devices[d], 31) == -1.0f);
    Check(m->points[1].receivedCount == 0 && m->points[1].deviceCount == 0);
    return 0;
}
