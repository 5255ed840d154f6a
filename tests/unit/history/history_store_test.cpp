// The history store against a real SQLite file: ranges across buckets (forwards and backwards), bounds,
// retention by age and size, a killed writer, a full database, a damaged file, a second instance.
#include "history/history_store.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <fstream>

namespace qora::history {
namespace {

namespace fs = std::filesystem;
constexpr uint64_t kSec = kTicksPerSecond;
// A day ago as FILETIME: inside the default retention.
const uint64_t kT0 = 116444736000000000ULL + uint64_t(time(nullptr) - 86400) * kSec;

struct TempDir {
    fs::path path;
    TempDir() {
        char tmpl[] = "/tmp/qora-history-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { fs::remove_all(path); }
    std::string File() const { return (path / "history.db").string(); }
};

std::unique_ptr<Store> OpenOrDie(StoreOptions o) {
    std::string error;
    auto store = Store::Open(std::move(o), error);
    EXPECT_TRUE(store) << error;
    return store;
}

void Put(Store& s, uint32_t item, uint64_t from, size_t n, uint64_t step = kSec) {
    std::vector<Sample> v;
    for (size_t i = 0; i < n; ++i)
        v.push_back(
            {item, from + i * step, static_cast<float>(i), static_cast<uint16_t>(i % 7 == 0 ? 24 : 192)});
    ASSERT_TRUE(s.Append(v.data(), v.size()));
}

TEST(HistoryStore, RangesAcrossBucketsAndBounds) {
    TempDir dir;
    auto s = OpenOrDie({.file = dir.File()});
    Put(*s, 5, kT0, 300);  // several buckets
    Put(*s, 6, kT0, 10);
    Sample q{5, kT0 + 300 * kSec, 1e30f, 0x1234};  // a quality beyond a byte
    s->Append(&q, 1);
    s->Flush();
    struct Case {
        uint64_t start, end;
        size_t max, count;
        float first;
    } cases[] = {
        {kT0, kT0 + 300 * kSec, 1000, 300, 0.0f},
        {kT0 + 63 * kSec, kT0 + 65 * kSec, 1000, 2, 63.0f},  // across a bucket edge
        {kT0 + 100 * kSec + 1, kT0 + 200 * kSec, 1000, 99, 101.0f},
        {kT0, kT0 + 300 * kSec, 70, 70, 0.0f},
        {kT0 - 10 * kSec, kT0, 1000, 0, 0.0f},
        {kT0 + 10 * kSec, kT0 + 10 * kSec, 1000, 0, 0.0f},
    };
    for (const Case& c : cases) {
        const auto v = s->ReadRaw(5, c.start, c.end, c.max);
        ASSERT_EQ(v.size(), c.count) << c.start - kT0;
        if (!v.empty()) {
            EXPECT_EQ(v.front().value, c.first);
        }
        for (size_t i = 1; i < v.size(); ++i) EXPECT_EQ(v[i].time, v[i - 1].time + kSec);
        for (const Sample& x : v) {
            EXPECT_EQ(x.quality, (static_cast<int>(x.value) % 7 == 0) ? 24 : 192);
        }
    }
    // Backwards: after < time <= upTo, newest first.
    const Case reverse[] = {
        {kT0 + 299 * kSec, kT0 - 1, 1000, 300, 299.0f},
        {kT0 + 64 * kSec, kT0 + 62 * kSec, 1000, 2, 64.0f},  // across a bucket edge
        {kT0 + 200 * kSec, kT0 + 100 * kSec, 1000, 100, 200.0f},
        {kT0 + 299 * kSec, kT0 - 1, 70, 70, 299.0f},
        {kT0 - 1, 0, 1000, 0, 0.0f},
        {kT0 + 10 * kSec, kT0 + 10 * kSec, 1000, 0, 0.0f},
    };
    for (const Case& c : reverse) {
        const auto v = s->ReadRawReverse(5, c.start, c.end, c.max);
        ASSERT_EQ(v.size(), c.count) << c.start - kT0;
        if (!v.empty()) {
            EXPECT_EQ(v.front().value, c.first);
        }
        for (size_t i = 1; i < v.size(); ++i) EXPECT_EQ(v[i].time + kSec, v[i - 1].time);
    }
    const auto last = s->ReadRaw(5, kT0 + 300 * kSec, kT0 + 301 * kSec, 10);
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(last[0].quality, 0x1234);
    EXPECT_EQ(last[0].value, 1e30f);
    EXPECT_EQ(s->ReadRaw(6, kT0, kT0 + 100 * kSec, 100).size(), 10u);

    Sample b;
    ASSERT_TRUE(s->ValueBefore(5, kT0 + 64 * kSec, b));
    EXPECT_EQ(b.time, kT0 + 63 * kSec);
    EXPECT_FALSE(s->ValueBefore(5, kT0, b));
    ASSERT_TRUE(s->ValueAtOrAfter(5, kT0 + 64 * kSec, b));
    EXPECT_EQ(b.time, kT0 + 64 * kSec);
    ASSERT_TRUE(s->ValueAtOrAfter(5, kT0 + 64 * kSec + 1, b));
    EXPECT_EQ(b.time, kT0 + 65 * kSec);
    EXPECT_FALSE(s->ValueAtOrAfter(5, kT0 + 301 * kSec, b));
}

TEST(HistoryStore, ValuesSurviveReopen) {
    TempDir dir;
    {
        auto s = OpenOrDie({.file = dir.File()});
        Put(*s, 1, kT0, 100);
    }  // closing stores what was queued
    auto s = OpenOrDie({.file = dir.File()});
    EXPECT_EQ(s->ReadRaw(1, kT0, kT0 + 1000 * kSec, 1000).size(), 100u);
    Put(*s, 1, kT0 + 100 * kSec, 10);  // continues in a new bucket
    s->Flush();
    EXPECT_EQ(s->ReadRaw(1, kT0, kT0 + 1000 * kSec, 1000).size(), 110u);
}

TEST(HistoryStore, SecondInstanceIsRefused) {
    TempDir dir;
    auto s = OpenOrDie({.file = dir.File()});
    const pid_t child = fork();
    if (child == 0) {
        std::string error;
        auto other = Store::Open({.file = dir.File()}, error);
        _exit(!other && error.find("in use") != std::string::npos ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(HistoryStore, RetentionByAgeAndSize) {
    TempDir dir;
    std::atomic<uint64_t> now{kT0 + 10 * 86400 * kSec};
    auto s = OpenOrDie({.file = dir.File(), .retentionDays = 2, .now = [&] { return now.load(); }});
    for (uint32_t item = 0; item < 3; ++item) Put(*s, item, kT0, 6 * 64, 2 * 86400 * kSec / 64);  // 12 days
    s->Flush();
    for (uint32_t item = 0; item < 3; ++item) {
        const auto v = s->ReadRaw(item, 0, UINT64_MAX, 10000);
        ASSERT_FALSE(v.empty());
        // Buckets ending before the cut-off are gone; the one holding the cut-off stays.
        EXPECT_GE(v.front().time, kT0 + 6 * 86400 * kSec);
        EXPECT_LE(v.front().time, kT0 + 8 * 86400 * kSec);
        EXPECT_EQ(v.back().time, kT0 + (6 * 64 - 1) * (2 * 86400 * kSec / 64));
    }
    s.reset();

    TempDir dir2;
    auto sized = OpenOrDie({.file = dir2.File(), .retentionDays = 0, .maxBytes = 256 * 1024});
    for (int round = 0; round < 4; ++round) {
        for (uint32_t item = 0; item < 100; ++item) Put(*sized, item, kT0 + round * 640 * kSec, 640);
        sized->Flush();
    }
    for (int i = 0; i < 200 && sized->Stats().bytesInUse > 256 * 1024; ++i) sized->Flush();
    const auto st = sized->Stats();
    EXPECT_LE(st.bytesInUse, 256u * 1024);
    EXPECT_GT(st.trimmedBuckets, 0u);
    const auto v = sized->ReadRaw(0, 0, UINT64_MAX, 1u << 20);
    ASSERT_FALSE(v.empty());
    EXPECT_GT(v.front().time, kT0);  // the oldest went first
    EXPECT_EQ(v.back().time, kT0 + (4 * 640 - 1) * kSec);
}

TEST(HistoryStore, KilledWriterKeepsWhatWasCommitted) {
    TempDir dir;
    int pipeFd[2];
    ASSERT_EQ(pipe(pipeFd), 0);
    const pid_t child = fork();
    if (child == 0) {
        close(pipeFd[0]);
        std::string error;
        auto s = Store::Open({.file = dir.File(), .commitIntervalMs = 100}, error);
        if (!s) _exit(2);
        // Writes forever; after each flushed round, tells the parent how many rounds are stored.
        for (uint32_t round = 0;; ++round) {
            std::vector<Sample> v;
            for (uint32_t item = 0; item < 1000; ++item)
                v.push_back({item, kT0 + round * kSec, float(round), 192});
            s->Append(v.data(), v.size());
            if (round % 10 == 9) {
                s->Flush();
                const uint32_t done = round + 1;
                if (write(pipeFd[1], &done, 4) != 4) _exit(3);
            }
        }
    }
    close(pipeFd[1]);
    uint32_t done = 0;
    for (int i = 0; i < 5; ++i) ASSERT_EQ(read(pipeFd[0], &done, 4), 4);
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    close(pipeFd[0]);
    ASSERT_TRUE(WIFSIGNALED(status));
    auto s = OpenOrDie({.file = dir.File()});
    for (uint32_t item : {0u, 499u, 999u}) {
        const auto v = s->ReadRaw(item, kT0, UINT64_MAX, 1u << 20);
        ASSERT_GE(v.size(), done) << item;
        for (size_t i = 0; i < v.size(); ++i) ASSERT_EQ(v[i].value, float(i));
    }
}

TEST(HistoryStore, FullDatabaseStopsAndResumes) {
    TempDir dir;
    std::vector<std::string> told;
    std::mutex m;
    auto s = OpenOrDie(
        {.file = dir.File(), .retentionDays = 0, .maxPageCount = 40, .message = [&](const std::string& t) {
             std::lock_guard l(m);
             told.push_back(t);
         }});
    for (uint32_t item = 0; item < 2000; ++item) Put(*s, item, kT0, 64);
    s->Flush();
    auto st = s->Stats();
    EXPECT_TRUE(st.diskFull);
    EXPECT_GT(st.dropped, 0u);
    {
        std::lock_guard l(m);
        ASSERT_FALSE(told.empty());
        EXPECT_NE(told[0].find("full"), std::string::npos);
    }
    Put(*s, 1, kT0 + 1000 * kSec, 1);  // small enough to fit in what is left
    s->Flush();
    st = s->Stats();
    EXPECT_FALSE(st.diskFull);
    std::lock_guard l(m);
    EXPECT_NE(told.back().find("again"), std::string::npos);
}

TEST(HistoryStore, DamagedFileIsSetAside) {
    TempDir dir;
    {
        std::ofstream f(dir.File(), std::ios::binary);
        f << std::string(8192, 'x');
    }
    std::string told;
    auto s = OpenOrDie({.file = dir.File(), .message = [&](const std::string& t) { told = t; }});
    EXPECT_NE(told.find("damaged"), std::string::npos);
    EXPECT_TRUE(fs::exists(dir.File() + ".damaged-1"));
    Put(*s, 1, kT0, 3);
    s->Flush();
    EXPECT_EQ(s->ReadRaw(1, kT0, UINT64_MAX, 10).size(), 3u);
}

TEST(HistoryStore, FullQueueDropsAndCounts) {
    TempDir dir;
    int toldCount = 0;
    auto s = OpenOrDie(
        {.file = dir.File(), .queueCapacity = 10, .message = [&](const std::string&) { ++toldCount; }});
    std::vector<Sample> v(11, Sample{1, kT0, 1.0f, 192});
    EXPECT_FALSE(s->Append(v.data(), v.size()));
    EXPECT_FALSE(s->Append(v.data(), v.size()));
    EXPECT_EQ(s->Stats().dropped, 22u);
    EXPECT_EQ(toldCount, 1);
}

}  // namespace
}  // namespace qora::history
