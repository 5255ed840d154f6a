// The serial lines' counters as the endpoint's point and device diagnostics: positions are the
// configuration's (point p, device d within p), as the items carry them.
#pragma once

#include "comm/line_diagnostics.h"
#include "opc/toolkit/gb_data_access.h"
#include "ua/nodes/backend.h"

namespace qora {

ua::PointDiagnostics ToPointDiagnostics(const TPointCounters& c);
ua::DeviceDiagnostics ToDeviceDiagnostics(const TDeviceCounters& c);

// Reads counters on the endpoint's threads; counters must outlive the endpoint.
gb::GBDiagnosticsProvider LineDiagnosticsProvider(const TLineDiagnostics& counters);

}  // namespace qora
