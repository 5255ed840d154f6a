#include "ui/event_log.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <atomic>
#include <chrono>
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

// Counts the events the window thread handles for the log: every queued call and timer tick
// delivered to it is one wake of that thread on behalf of the log.
class WakeCounter : public QObject {
  public:
    int wakes = 0;
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::MetaCall || e->type() == QEvent::Timer) ++wakes;
        return false;
    }
};

// Lines from another thread at a steady trickle (a client reading in a loop) while the window
// thread is idle and runs its event loop: every line arrives, in order, in a handful of batches,
// not one wake per line.
TEST(EventLog, TrickleFromAnotherThreadArrivesInBatchesWithEveryLineInOrder) {
    App();
    TEventLog log;
    WakeCounter counter;
    log.installEventFilter(&counter);
    constexpr int kLines = 400;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        for (int i = 0; i < kLines; ++i) {
            log.AddLine(QStringLiteral("GBOnReadItems %1").arg(i));
            std::this_thread::sleep_for(std::chrono::microseconds(1500));
        }
        done = true;
    });
    QElapsedTimer timer;
    timer.start();
    while ((!done || log.rowCount() < kLines) && timer.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    reader.join();
    ASSERT_EQ(log.rowCount(), kLines);
    for (int r = 0; r < kLines; ++r)
        ASSERT_EQ(log.line(r), QStringLiteral("GBOnReadItems %1").arg(kLines - 1 - r)) << r;
    // About 0.6 s of lines: a few batches at the log's interval, far fewer than the lines.
    EXPECT_LE(counter.wakes, 30) << "the window thread woke " << counter.wakes << " times for " << kLines
                                 << " lines";
    // Idle again: no more wakes once the lines have arrived.
    const int settled = counter.wakes;
    QElapsedTimer idle;
    idle.start();
    while (idle.elapsed() < 3 * TEventLog::kBatchIntervalMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    EXPECT_LE(counter.wakes - settled, 1) << "the batch timer stops when nothing arrives";
}

// A window-thread line (the endpoint's listen report) after lines still queued from another
// thread lands above them: the queued lines are taken first.
TEST(EventLog, OwnThreadLineAfterQueuedLinesKeepsTheOrder) {
    App();
    TEventLog log;
    std::thread([&] {
        for (int i = 0; i < 3; ++i) log.AddLine(QStringLiteral("queued %1").arg(i));
    }).join();
    log.AddLine(QStringLiteral("own"));
    ASSERT_EQ(log.rowCount(), 4);
    EXPECT_EQ(log.line(0), QStringLiteral("own"));
    EXPECT_EQ(log.line(1), QStringLiteral("queued 2"));
    EXPECT_EQ(log.line(3), QStringLiteral("queued 0"));
    // Nothing is left behind for a later batch.
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 2 * TEventLog::kBatchIntervalMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    EXPECT_EQ(log.rowCount(), 4);
}

}  // namespace
}  // namespace qora
