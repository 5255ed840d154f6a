#include "ui/event_log.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <thread>
#include <vector>

namespace qora {
namespace {

QCoreApplication* App() {
    static int argc = 1;
    static char name[] = "test_ui_unit";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* app =
        QCoreApplication::instance() ? QCoreApplication::instance() : new QCoreApplication(argc, argv);
    return app;
}

TEST(EventLog, NewestLineIsOnTop) {
    App();
    TEventLog log;
    log.AddLine(QStringLiteral("GBOnLock"));
    log.AddLine(QStringLiteral("GBOnCreateInstance"));
    log.AddLine(QStringLiteral("GBOnReadItems"));
    ASSERT_EQ(log.rowCount(), 3);
    EXPECT_EQ(log.line(0), QStringLiteral("GBOnReadItems"));
    EXPECT_EQ(log.line(2), QStringLiteral("GBOnLock"));
}

TEST(EventLog, KeepsTheNewestTenThousandLines) {
    App();
    TEventLog log;
    for (int i = 0; i < TEventLog::kMaxLines + 2500; ++i) log.AddLine(QString::number(i));
    ASSERT_EQ(log.rowCount(), TEventLog::kMaxLines);
    EXPECT_EQ(log.line(0), QString::number(TEventLog::kMaxLines + 2499));
    EXPECT_EQ(log.line(TEventLog::kMaxLines - 1), QStringLiteral("2500"));
}

TEST(EventLog, LinesFromOtherThreadsArriveQueuedInOrderPerThread) {
    App();
    TEventLog log;
    constexpr int kThreads = 4;
    constexpr int kLines = 3000;  // 12 000 lines in all: the bound applies too
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&log, t] {
            for (int i = 0; i < kLines; ++i) log.AddLine(QStringLiteral("%1:%2").arg(t).arg(i));
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(log.rowCount(), 0);  // nothing before the window thread runs its queue
    QElapsedTimer timer;
    timer.start();
    while (log.rowCount() < TEventLog::kMaxLines && timer.elapsed() < 10000)
        QCoreApplication::processEvents();
    ASSERT_EQ(log.rowCount(), TEventLog::kMaxLines);
    // Within one thread, a newer line is always above an older one.
    std::vector<int> last(kThreads, kLines);
    for (int r = 0; r < log.rowCount(); ++r) {
        const QStringList parts = log.line(r).split(QLatin1Char(':'));
        ASSERT_EQ(parts.size(), 2);
        const int t = parts[0].toInt();
        const int i = parts[1].toInt();
        EXPECT_LT(i, last[static_cast<size_t>(t)]);
        last[static_cast<size_t>(t)] = i;
    }
}

}  // namespace
}  // namespace qora
