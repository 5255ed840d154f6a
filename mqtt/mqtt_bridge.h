// Feeds the publisher from the periodic OPC push: an observer of the server object's push
// (window thread).
//
// The items are those the OPC start created, identified by their item numbers, never by parsing
// item IDs. Their topics are built once, at the first report after the start (the item
// namespace does not change during a run): <prefix>/<point>/<device>/<parameter>, each name
// made one topic level, equal topics told apart (TTopicTable). Then each report hands over the
// items it marks changed (value bit for bit, or quality), and the items that lost their slot:
// those are published once as not connected, as OPC UA clients are told, and their topics get
// nothing more this run.
//
// Every item also gets a metadata payload for its $meta topic: unit and range (the server's item
// metadata, as the endpoint shows them; null where the catalogue gives none) and the names of
// its point, device and parameter as in its item ID.
#pragma once

#include <string>
#include <vector>

#include "config/records.h"
#include "mqtt/latest_value_store.h"
#include "mqtt/mqtt_publisher.h"
#include "opc/push_observer.h"

namespace qora {

class TMqttBridge : public IPushObserver {
  public:
    // model: where the topic names come from at the first report.
    TMqttBridge(TMqttPublisher& publisher, const TConfigModel& model)
        : publisher_(publisher), model_(model) {}

    void Pushed(const COPCServer& server, const TPushReport& report) override;

    // The item table built at the first report, and in meta what the items' $meta messages are
    // built from.
    static std::vector<TMqttItem> BuildItems(const TConfigModel& model, const COPCServer& opc,
                                             const std::string& prefix, TMqttMetaTable& meta);

  private:
    TMqttPublisher& publisher_;
    const TConfigModel& model_;
    bool itemsBuilt_ = false;
    std::vector<TItemUpdate> changes_;
};

}  // namespace qora
