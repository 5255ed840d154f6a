// JSON form of a configuration for qora-cfg:
//   {"points": [{"name": "Адаптер_1", "port": "ttyUSB0", "period": 4.2, "active": true,
//                "devices": [{"name": "Устройство", "type": 0, "address": 1, "parameters": [0, 2]}]}]}
#pragma once

#include <QByteArray>
#include <QString>
#include <string>

#include "config/records.h"

namespace qora::cfgtool {

// The points in use of model as one line of JSON (UTF-8), keys in the order shown above. The
// period is the stored float in the shortest text that reads back as the same float (null when
// it is not a finite number); parameters are the set bits of the mask in ascending order.
std::string ToJson(const TConfigModel& model);

// Fills the points of model (cleared first) from JSON text. Returns false with a message naming
// the offending element when the text is not JSON of that shape or breaks the model's limits.
// "active" defaults to true and "devices" to an empty list.
bool FromJson(const QByteArray& json, TConfigModel& model, QString& error);

// Shortest decimal text that reads back as the same float.
std::string ShortestFloat(float value);

}  // namespace qora::cfgtool
