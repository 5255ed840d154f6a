#include "mqtt/mqtt_bridge.h"

#include <bit>

#include "mqtt/mqtt_topic.h"
#include "opc/opc_server.h"
#include "opc/toolkit/gb_types.h"

namespace qora {

std::vector<TMqttItem> TMqttBridge::BuildItems(const TConfigModel& m, const COPCServer& opc,
                                               const std::string& prefix) {
    std::vector<TMqttItem> items(size_t(opc.ItemCount()));
    struct TNames {
        int p = -1, d = -1, k = -1;
    };
    std::vector<TNames> where(items.size());
    opc.ForEachItemSlot(m, [&](int p, int d, int k, int n) { where[size_t(n)] = {p, d, k}; });
    // Topics are handed out in item order, so which of two equal topics gets the suffix does
    // not depend on where the records lie now.
    TTopicTable topics;
    for (size_t n = 0; n < items.size(); ++n) {
        const TNames& w = where[n];
        if (w.p < 0) continue;  // its record is gone
        const TConnectionPoint& pt = m.points[w.p];
        const TDevice& dev = pt.devices[w.d];
        std::string topic = prefix;
        topic += '/';
        topic += TopicLevel(NameView(pt.name, kNameUnits));
        topic += '/';
        topic += TopicLevel(NameView(dev.name, kNameUnits));
        topic += '/';
        topic += TopicLevel(NameView(m.paramNames[w.k], kCatalogUnits));
        items[n].topic = topics.Unique(std::move(topic));
        items[n].itemId = gb::Utf16ToUtf8(COPCServer::BuildItemId(m, w.p, w.d, w.k));
    }
    return items;
}

void TMqttBridge::Tick(const TConfigModel& m, const COPCServer& opc, int64_t unixMs) {
    if (!opc.ItemsCreated()) return;
    if (!itemsBuilt_) {
        itemsBuilt_ = true;
        std::vector<TMqttItem> items = BuildItems(m, opc, publisher_.Settings().topicPrefix);
        lastBits_.assign(items.size(), 0);
        lastQuality_.assign(items.size(), 0);
        seen_.assign(items.size(), 0);
        orphanSent_.assign(items.size(), 0);
        publisher_.SetItems(std::move(items));
    }
    changes_.clear();
    AppendOrphans(opc, unixMs);
    opc.ForEachItemSlot(m, [&](int p, int d, int k, int n) {
        if (opc.ItemOrphaned(n)) return;
        const TDevice& dev = m.points[p].devices[d];
        const float value = LoadValue(dev, k);
        const uint16_t quality = LoadQuality(dev, k);
        const uint32_t bits = std::bit_cast<uint32_t>(value);
        const size_t i = size_t(n);
        if (i >= seen_.size() || (seen_[i] && lastBits_[i] == bits && lastQuality_[i] == quality)) return;
        seen_[i] = 1;
        lastBits_[i] = bits;
        lastQuality_[i] = quality;
        changes_.push_back({uint32_t(n), {value, quality, unixMs}});
    });
    publisher_.Update(changes_);
}

void TMqttBridge::AppendOrphans(const COPCServer& opc, int64_t unixMs) {
    for (size_t i = 0; i < orphanSent_.size(); ++i) {
        if (orphanSent_[i] && !opc.ItemOrphaned(int(i))) {
            // Served again by a slot: its next value goes out whatever it was before, and a
            // later loss is told again.
            orphanSent_[i] = 0;
            seen_[i] = 0;
            continue;
        }
        if (orphanSent_[i] || !opc.ItemOrphaned(int(i))) continue;
        orphanSent_[i] = 1;
        changes_.push_back({uint32_t(i), {kNoValue, kQualityNotConnected, unixMs}});
    }
}

void TMqttBridge::PublishOrphans(const COPCServer& opc, int64_t unixMs) {
    if (!itemsBuilt_) return;
    changes_.clear();
    AppendOrphans(opc, unixMs);
    if (!changes_.empty()) publisher_.Update(changes_);
}

}  // namespace qora
