#include "mqtt/mqtt_bridge.h"

#include <memory>
#include <unordered_map>

#include "base/file_time.h"
#include "mqtt/mqtt_payload.h"
#include "mqtt/mqtt_topic.h"
#include "opc/opc_server.h"
#include "opc/toolkit/gb_types.h"

namespace qora {

std::vector<TMqttItem> TMqttBridge::BuildItems(const TConfigModel& m, const COPCServer& opc,
                                               const std::string& prefix, TMqttMetaTable& meta) {
    std::vector<TMqttItem> items(size_t(opc.ItemCount()));
    // Topics are handed out in item order, so which of two equal topics gets the suffix does
    // not depend on where the records lie now.
    TTopicTable topics;
    // Entries of the metadata table by (point, device) and by (device type, parameter).
    std::unordered_map<int, int32_t> namesOf;
    std::unordered_map<int, int16_t> unitOf;
    meta.parameters.clear();
    for (int k = 0; k < kParamsPerDevice; ++k)
        meta.parameters.push_back(gb::Utf16ToUtf8(NameView(m.paramNames[k], kCatalogUnits)));
    for (size_t n = 0; n < items.size(); ++n) {
        int p, d, k;
        if (!opc.ItemLocation(int(n), &p, &d, &k)) continue;  // its record is gone
        const TConnectionPoint& pt = m.points[p];
        const TDevice& dev = pt.devices[d];
        std::string topic = prefix;
        topic += '/';
        topic += TopicLevel(NameView(pt.name, kNameUnits));
        topic += '/';
        topic += TopicLevel(NameView(dev.name, kNameUnits));
        topic += '/';
        topic += TopicLevel(NameView(m.paramNames[k], kCatalogUnits));
        items[n].topic = topics.Unique(std::move(topic));
        items[n].itemId = std::string(opc.ItemIdUtf8(int(n)));
        const int type = dev.typeIndex;
        if (type < 0 || type >= kMaxDeviceTypes) continue;
        const auto [names, newNames] =
            namesOf.try_emplace(p * kMaxDevicesPerPoint + d, int32_t(meta.names.size()));
        if (newNames)
            meta.names.push_back({gb::Utf16ToUtf8(COPCServer::PointDisplayName(m, p)),
                                  gb::Utf16ToUtf8(COPCServer::DeviceDisplayName(m, p, d))});
        items[n].metaNames = names->second;
        items[n].metaParameter = uint16_t(k);
        const TParamMetadata& md = opc.ItemMetadata().At(type, k);
        if (md.unit.empty() && !md.hasRange) continue;
        const auto [unit, newUnit] =
            unitOf.try_emplace(type * kParamsPerDevice + k, int16_t(meta.units.size()));
        if (newUnit) meta.units.push_back({md.unit, md.hasRange, md.low, md.high});
        items[n].metaUnit = unit->second;
    }
    return items;
}

void TMqttBridge::Pushed(const COPCServer& server, const TPushReport& report) {
    if (!itemsBuilt_) {
        itemsBuilt_ = true;
        auto meta = std::make_shared<TMqttMetaTable>();
        std::vector<TMqttItem> items = BuildItems(model_, server, publisher_.Settings().topicPrefix, *meta);
        publisher_.SetItems(std::move(items), std::move(meta));
    }
    const int64_t unixMs = FileTimeToUnixMs(report.fileTime);
    changes_.clear();
    for (const TPushedItem& it : report.items)
        if (it.changed) changes_.push_back({uint32_t(it.item), {it.value, it.quality, unixMs}});
    publisher_.Update(changes_);
}

}  // namespace qora
