// Where the publisher finds the values it replays after an outage: a local history of item
// values, reached through this interface so that the MQTT layer needs nothing of how or where
// the history is kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qora {

struct TReplayValue {
    uint64_t fileTime = 0;  // FILETIME, UTC: the push that saw the value
    float value = 0;
    uint16_t quality = 0;
};

class IReplaySource {
  public:
    virtual ~IReplaySource() = default;
    // Values of item (its item number) with start <= fileTime < end, oldest first, at most max.
    // Called on the publisher's sender thread; may wait for the disk.
    virtual std::vector<TReplayValue> Read(uint32_t item, uint64_t start, uint64_t end, size_t max) = 0;
};

}  // namespace qora
