// The standard nodes of namespace 0 the endpoint serves (folders, reference, object, variable and
// data types, the Server object with its capabilities and diagnostics), as one table.
#pragma once

#include <cstdint>
#include <span>

#include "ua/encoding/types.h"

namespace qora::ua {

// Types of analog items and of their EURange and EngineeringUnits properties.
inline constexpr uint32_t kDataItemTypeId = 2365, kAnalogItemTypeId = 2368, kRangeTypeId = 884,
                          kEUInformationTypeId = 887;

// What the server offers of history: the HistoryServerCapabilities object under ServerCapabilities
// and its properties. AccessHistoryDataCapability is computed (whether values are kept).
inline constexpr uint32_t kHistoryServerCapabilitiesTypeId = 2330, kHistoryServerCapabilitiesId = 11192,
                          kAccessHistoryDataCapabilityId = 11193, kInsertDataCapabilityId = 11196,
                          kReplaceDataCapabilityId = 11197, kUpdateDataCapabilityId = 11198,
                          kDeleteRawCapabilityId = 11199, kDeleteAtTimeCapabilityId = 11200,
                          kAggregateFunctionsId = 11201, kAccessHistoryEventsCapabilityId = 11242,
                          kMaxReturnDataValuesId = 11273, kMaxReturnEventValuesId = 11274,
                          kInsertAnnotationCapabilityId = 11275, kInsertEventCapabilityId = 11281,
                          kReplaceEventCapabilityId = 11282, kUpdateEventCapabilityId = 11283;

struct StandardNode {
    uint32_t id = 0;
    NodeClass nodeClass = NodeClass::Object;
    const char* name = "";
    uint32_t parent = 0;   // 0: no parent (the Root folder)
    uint32_t refType = 0;  // reference from the parent
    uint32_t typeDefinition = 0;
    uint32_t dataType = 0;  // variables and variable types
    int32_t valueRank = -1;
    bool dynamic = false;  // value computed at read time
    bool isAbstract = false;
    bool symmetric = false;        // reference types
    const char* inverseName = "";  // reference types
    uint8_t eventNotifier = 0;     // objects
    Variant (*value)() = nullptr;  // static value of a variable; null: none or dynamic
};

// In the order the nodes are added: a node's references keep this order in Browse.
std::span<const StandardNode> StandardNodes();

}  // namespace qora::ua
