// Shared pieces of the endpoint's fuzz targets.
#pragma once

#include <cstdint>

#include "ua/encoding/types.h"

namespace qora::ua::fuzz {

// Services the decoder target feeds bodies to; selector byte 8 + index picks one.
inline constexpr uint32_t kServices[] = {
    id::GetEndpoints,
    id::FindServers,
    id::CreateSession,
    id::ActivateSession,
    id::CloseSession,
    id::Cancel,
    id::Browse,
    id::BrowseNext,
    id::TranslateBrowsePaths,
    id::RegisterNodes,
    id::UnregisterNodes,
    id::Read,
    id::Write,
    id::CreateSubscription,
    id::ModifySubscription,
    id::SetPublishingMode,
    id::DeleteSubscriptions,
    id::CreateMonitoredItems,
    id::ModifyMonitoredItems,
    id::SetMonitoringMode,
    id::DeleteMonitoredItems,
    id::Publish,
    id::Republish,
    712 /* Call: unsupported */,
};
inline constexpr unsigned kServiceCount = sizeof(kServices) / sizeof(kServices[0]);
inline constexpr unsigned kFirstServiceSelector = 8;

}  // namespace qora::ua::fuzz
