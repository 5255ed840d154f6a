#include "app/history_recorder.h"

#include "opc/opc_server.h"

namespace qora {

void THistoryRecorder::Pushed(const COPCServer& server, const TPushReport& report) {
    batch_.clear();
    for (const TPushedItem& item : report.items) {
        if (!item.changed || server.ItemOrphaned(item.item)) continue;
        batch_.push_back({item.handle, report.fileTime, item.value, item.quality});
    }
    if (!batch_.empty()) store_->Append(batch_.data(), batch_.size());
}

std::vector<TReplayValue> THistoryReplaySource::Read(uint32_t item, uint64_t start, uint64_t end,
                                                     size_t max) {
    {
        std::lock_guard lock(mutex_);
        if (end > flushedUpTo_) {
            store_.Flush();
            flushedUpTo_ = end;
        }
    }
    std::vector<TReplayValue> out;
    const uint32_t handle = server_.ItemHandle(int(item));
    if (handle == 0) return out;
    const std::vector<history::Sample> samples = store_.ReadRaw(handle, start, end, max);
    out.reserve(samples.size());
    for (const history::Sample& s : samples) out.push_back({s.time, s.value, s.quality});
    return out;
}

gb::GBHistoryProvider HistoryReadProvider(history::Store& store) {
    return [&store](uint32_t handle, uint64_t start, uint64_t end, size_t maxValues,
                    std::vector<ua::HistorySample>& out) {
        const std::vector<history::Sample> kept = start <= end
                                                      ? store.ReadRaw(handle, start, end, maxValues)
                                                      : store.ReadRawReverse(handle, start, end, maxValues);
        out.clear();
        out.reserve(kept.size());
        for (const history::Sample& s : kept) out.push_back({s.time, s.value, s.quality});
        return true;
    };
}

}  // namespace qora
