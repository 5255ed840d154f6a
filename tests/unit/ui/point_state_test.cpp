#include "ui/point_state.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "model_fixture.h"

using namespace qora;

TEST(PointFaults, EachWayAPortFailsHasItsReasonAndAnOpenPortNone) {
    const test::ModelPtr m = test::MakeModel();
    test::AddPoint(*m, QStringLiteral("L"), "ttyUSB0");
    const TConnectionPoint& p = m->points[0];
    struct {
        TPointLine line;
        const char* reason;
    } cases[] = {
        {{false, false, 0}, "порт ttyUSB0 отсутствует на этом компьютере"},
        {{false, false, EBUSY}, "порт ttyUSB0 отсутствует на этом компьютере"},
        {{true, true, EBUSY}, ""},
        {{true, false, 0}, "порт ttyUSB0 не открыт"},
        {{true, false, EBUSY}, "порт ttyUSB0 занят другой программой"},
        {{true, false, EACCES}, "в доступе к порту ttyUSB0 отказано"},
        {{true, false, EPERM}, "в доступе к порту ttyUSB0 отказано"},
        {{true, false, ENOENT}, "устройство порта ttyUSB0 отсутствует"},
        {{true, false, EIO}, "порт ttyUSB0 не открывается: "},  // and the system's words
    };
    for (const auto& c : cases)
        EXPECT_EQ(PointFaultReason(p, c.line).toStdString(),
                  c.reason + (c.line.openError == EIO ? std::generic_category().message(EIO) : std::string()))
            << c.line.openError;
}

TEST(PointFaults, TheEventLogHearsOfEachChangeOnceAndOfTheReopening) {
    TPointFaults faults;
    const QString missing = QStringLiteral("порт COM9 отсутствует на этом компьютере");
    const QString busy = QStringLiteral("порт COM9 занят другой программой");
    struct {
        int point;
        QString reason;
        QString event;
    } steps[] = {
        {0, QString(), QString()},  // fine from the start: nothing to tell
        {1, missing, QStringLiteral("L (COM9): ") + missing},
        {1, missing, QString()},
        {1, busy, QStringLiteral("L (COM9): ") + busy},
        {1, QString(), QStringLiteral("L (COM9): порт открыт")},
        {1, QString(), QString()},
        {kMaxPoints, missing, QString()},  // outside the table
    };
    for (const auto& s : steps) {
        EXPECT_EQ(faults.Update(s.point, QStringLiteral("L (COM9)"), s.reason), s.event) << s.point;
        EXPECT_EQ(faults.Reason(s.point), s.point < kMaxPoints ? s.reason : QString());
    }
}
