// Why the line of a connection point is red, and the event-log lines of its changes, free of
// widgets.
#pragma once

#include <QString>
#include <array>

#include "config/records.h"

namespace qora {

// What the window knows of a point's serial line.
struct TPointLine {
    bool hasPort = false;   // a serial port object of this computer carries the point's port name
    bool portOpen = false;  // that port is open
    int openError = 0;      // errno of its last failed open since polling started; 0 = none
};

// The reason the point's line is red, empty when the port is open: the port is missing on this
// computer, it is busy, access to it is refused, or another open error.
QString PointFaultReason(const TConnectionPoint& p, const TPointLine& line);

// The reasons last told per point; Update returns the event-log line when a point's reason
// changed (the line turned red, the reason changed, or the port opened again), else empty.
class TPointFaults {
  public:
    QString Update(int point, const QString& caption, const QString& reason);
    QString Reason(int point) const {
        return point >= 0 && point < kMaxPoints ? reasons_[static_cast<size_t>(point)] : QString();
    }

  private:
    std::array<QString, kMaxPoints> reasons_;
};

}  // namespace qora
