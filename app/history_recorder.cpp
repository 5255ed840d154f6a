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

}  // namespace qora
