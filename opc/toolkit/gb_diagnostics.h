// Who answers the endpoint's point and device diagnostics: the providers the server set last,
// under their own lock (set on the server's thread, called on the endpoint's threads).
#pragma once

#include <mutex>

#include "opc/toolkit/gb_data_access.h"

namespace gb {

class DiagnosticsProviders {
  public:
    void Set(GBPointDiagnosticsProvider points, GBDeviceDiagnosticsProvider devices);
    // False when there is no provider or it has nothing to tell.
    bool ReadPoint(int32_t point, qora::ua::PointDiagnostics& out);
    bool ReadDevice(int32_t point, int32_t device, qora::ua::DeviceDiagnostics& out);

  private:
    std::mutex mutex_;  // both providers
    GBPointDiagnosticsProvider points_;
    GBDeviceDiagnosticsProvider devices_;
};

}  // namespace gb
