#include "opc/toolkit/gb_diagnostics.h"

namespace gb {

void DiagnosticsProviders::Set(GBPointDiagnosticsProvider points, GBDeviceDiagnosticsProvider devices) {
    std::lock_guard lock(mutex_);
    points_ = std::move(points);
    devices_ = std::move(devices);
}

bool DiagnosticsProviders::ReadPoint(int32_t point, qora::ua::PointDiagnostics& out) {
    std::lock_guard lock(mutex_);
    return points_ && points_(point, out);
}

bool DiagnosticsProviders::ReadDevice(int32_t point, int32_t device, qora::ua::DeviceDiagnostics& out) {
    std::lock_guard lock(mutex_);
    return devices_ && devices_(point, device, out);
}

}  // namespace gb
