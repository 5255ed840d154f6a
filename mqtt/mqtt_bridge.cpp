#include "mqtt/mqtt_bridge.h"

#include "base/file_time.h"
#include "mqtt/mqtt_payload.h"
#include "mqtt/mqtt_topic.h"
#include "opc/opc_server.h"
#include "opc/toolkit/gb_types.h"

namespace qora {

std::vector<TMqttItem> TMqttBridge::BuildItems(const TConfigModel& m, const COPCServer& opc,
                                               const std::string& prefix) {
    std::vector<TMqttItem> items(size_t(opc.ItemCount()));
    // Topics are handed out in item order, so which of two equal topics gets the suffix does
    // not depend on where the records lie now.
    TTopicTable topics;
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
        const TParamMetadata& md = opc.ItemMetadata().At(type, k);
        if (md.unit.empty() && !md.hasRange) continue;
        const std::string point = gb::Utf16ToUtf8(COPCServer::PointDisplayName(m, p));
        const std::string device = gb::Utf16ToUtf8(COPCServer::DeviceDisplayName(m, p, d));
        const std::string parameter = gb::Utf16ToUtf8(NameView(m.paramNames[k], kCatalogUnits));
        items[n].meta = BuildMqttMetaPayload(
            items[n].itemId, {md.unit, md.hasRange, md.low, md.high, point, device, parameter});
    }
    return items;
}

void TMqttBridge::Pushed(const COPCServer& server, const TPushReport& report) {
    if (!itemsBuilt_) {
        itemsBuilt_ = true;
        publisher_.SetItems(BuildItems(model_, server, publisher_.Settings().topicPrefix));
    }
    const int64_t unixMs = FileTimeToUnixMs(report.fileTime);
    changes_.clear();
    for (const TPushedItem& it : report.items)
        if (it.changed) changes_.push_back({uint32_t(it.item), {it.value, it.quality, unixMs}});
    publisher_.Update(changes_);
}

}  // namespace qora
