// The JSON payload of one item:
//   {"id":"<item ID>","nodeId":"ns=1;s=<item ID>","value":21.5,"quality":192,"status":"Good",
//    "sourceTime":"2026-12-08T07:32:12.123Z","seq":17}
// value: with quality Good the shortest decimal text that reads back as the same 32-bit float
// (JSON has no NaN or infinity, so those are null); with any other quality null, whatever the
// slot holds (the no-value marker of a silent device drawn as a reading would be a spike), and
// the status says why. seq: the item's sequence number in this run (TItemValue::seq).
// status: the OPC UA status of the quality (192 Good, 8 BadNotConnected, 24 BadNoCommunication,
// any other Bad). sourceTime: UTC with milliseconds, the time of the push that saw the value.
//
// A value replayed from the history after an outage has no sequence number (those count the
// values of the live stream) and carries "replayed":true instead.
//
// The metadata of an item (its retained "$meta" topic):
//   {"id":"<item ID>","nodeId":"ns=1;s=<item ID>","unit":"°C","range":{"low":0,"high":150},
//    "description":{"point":"<point>","device":"<device>","parameter":"<parameter>"}}
// unit and range are null when the item has none; the names are those of the item ID.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qora {

std::string FormatMqttValue(float value);
const char* MqttStatusText(uint16_t quality);
std::string FormatUtcMs(int64_t unixMs);
// Appends text as a JSON string (quotes, backslash and control characters escaped).
void AppendJsonString(std::string& out, std::string_view text);

// itemId: UTF-8.
std::string BuildMqttPayload(std::string_view itemId, float value, uint16_t quality, int64_t unixMs,
                             uint32_t seq);
std::string BuildReplayedMqttPayload(std::string_view itemId, float value, uint16_t quality, int64_t unixMs);

struct TMqttItemMeta {
    std::string_view unit;  // empty: none
    bool hasRange = false;
    double low = 0, high = 0;
    std::string_view point, device, parameter;  // UTF-8
};
std::string BuildMqttMetaPayload(std::string_view itemId, const TMqttItemMeta& meta);

}  // namespace qora
