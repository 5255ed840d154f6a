// Feeds the publisher from the periodic OPC push (window thread).
//
// The items are those the OPC start created, identified by their item numbers in the records,
// never by parsing item IDs. Their topics are built once, at the first tick after the start
// (the item namespace does not change during a run): <prefix>/<point>/<device>/<parameter>,
// each name made one topic level, equal topics told apart (TTopicTable). Then each tick hands
// over the items whose value (bit for bit) or quality changed since the previous tick.
#pragma once

#include <cstdint>
#include <vector>

#include "config/records.h"
#include "mqtt/latest_value_store.h"
#include "mqtt/mqtt_publisher.h"

namespace qora {

class COPCServer;

class TMqttBridge {
  public:
    explicit TMqttBridge(TMqttPublisher& publisher) : publisher_(publisher) {}

    // After each OPC push. unixMs: the push's time, the values' source time.
    void Tick(const TConfigModel& model, const COPCServer& opc, int64_t unixMs);
    // Items the server object found without a slot (device deleted or moved, configuration
    // replaced) are published once as not connected with the no-value marker, as OPC UA
    // clients are told; their topics get nothing more this run. Also called while polling is
    // stopped, when there is no push.
    void PublishOrphans(const COPCServer& opc, int64_t unixMs);

    // The item table built at the first tick (tests).
    static std::vector<TMqttItem> BuildItems(const TConfigModel& model, const COPCServer& opc,
                                             const std::string& prefix);

  private:
    void AppendOrphans(const COPCServer& opc, int64_t unixMs);

    TMqttPublisher& publisher_;
    bool itemsBuilt_ = false;
    std::vector<uint32_t> lastBits_;
    std::vector<uint16_t> lastQuality_;
    std::vector<uint8_t> seen_;
    std::vector<uint8_t> orphanSent_;
    std::vector<TItemUpdate> changes_;
};

}  // namespace qora
