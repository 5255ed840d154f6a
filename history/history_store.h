// A local history of item values in an embedded SQLite database (WAL mode), so that clients that
// were away can read what they missed. No Qt: the program feeds it from the push, the endpoint
// reads it from its network thread.
//
// Layout: one WITHOUT ROWID table keyed (item, bucket start time); each row holds up to
// kBucketValues values of one item packed in a blob (time delta varint, float, quality byte),
// about 9 bytes a value plus the row's share. The open bucket of each item is rewritten at every
// commit, so a crash loses only what came after the last commit (at most a second).
//
// Threads: Append (any one producer thread) never waits for the disk: it copies into a bounded
// queue under a short lock and counts what does not fit. A writer thread of its own commits
// at least once a second and trims by age and size in small steps. Reads use a connection of
// their own and may come from any thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace qora::history {

struct Sample {
    uint32_t item = 0;  // key chosen by the caller (the toolkit handle)
    uint64_t time = 0;  // FILETIME, UTC
    float value = 0.0f;
    uint16_t quality = 0;
};

struct StoreOptions {
    std::string file;             // database path; "<file>.lock" guards it against a second process
    uint32_t retentionDays = 30;  // 0: no age limit
    uint64_t maxBytes = 0;        // 0: no size limit (pages in use, not the file's length)
    size_t queueCapacity = 1u << 21;
    uint32_t commitIntervalMs = 500;
    uint32_t maxPageCount = 0;  // tests: a small database that fills up
    // Messages (full disk, damaged file set aside, resumed, dropped values); any thread.
    std::function<void(const std::string&)> message;
    // Clock for retention (FILETIME now); defaults to the system clock.
    std::function<uint64_t()> now;
};

struct StoreStats {
    uint64_t appended = 0;  // accepted into the queue
    uint64_t dropped = 0;   // queue full or disk full
    uint64_t stored = 0;    // committed values
    uint64_t commits = 0;
    uint64_t trimmedBuckets = 0;
    uint64_t bytesInUse = 0;  // pages in use x page size, as of the last commit
    bool diskFull = false;
};

constexpr size_t kBucketValues = 32;
constexpr uint64_t kTicksPerSecond = 10'000'000;

class Store {
  public:
    // Opens (or creates) the database. Fails with a message when the file is locked by another
    // process or cannot be created; a damaged file is renamed "<file>.damaged-<n>" and a new one
    // started (told through options.message).
    static std::unique_ptr<Store> Open(StoreOptions options, std::string& error);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Queues samples; false when the queue was full (the samples are dropped and counted; the
    // first drop after a good period is told).
    bool Append(const Sample* samples, size_t count);
    // Waits until everything queued so far is committed and one more trim step ran.
    void Flush();

    // Values of one item with start <= time < end, in time order, at most maxValues. Any thread.
    std::vector<Sample> ReadRaw(uint32_t item, uint64_t start, uint64_t end, size_t maxValues);
    // Values of one item with after < time <= upTo, newest first, at most maxValues. Any thread.
    std::vector<Sample> ReadRawReverse(uint32_t item, uint64_t upTo, uint64_t after, size_t maxValues);
    // The latest value with time < t, or the first with time >= t; false when there is none.
    bool ValueBefore(uint32_t item, uint64_t t, Sample& out);
    bool ValueAtOrAfter(uint32_t item, uint64_t t, Sample& out);

    StoreStats Stats() const;
    const std::string& File() const { return options_.file; }

  private:
    explicit Store(StoreOptions options);
    bool OpenDatabase(std::string& error);
    void Run();
    void WriteBatch(std::vector<Sample>& batch);
    void Trim();
    void Tell(const std::string& text) const;
    uint64_t Now() const;
    std::vector<Sample> Decode(uint32_t item, uint64_t t0, const void* blob, int size) const;
    // Runs sql (?1 the item, ?2 and ?3 the times given) on the reading connection and hands the
    // values of each bucket it returns, decoded, to visit until visit returns false.
    void VisitBuckets(const char* sql, uint32_t item, uint64_t t2, uint64_t t3,
                      const std::function<bool(const std::vector<Sample>&)>& visit);

    struct Open_ {
        uint64_t t0 = 0;
        uint64_t last = 0;
        uint32_t count = 0;
        std::vector<uint8_t> blob;
    };

    StoreOptions options_;
    int lockFd_ = -1;
    sqlite3* db_ = nullptr;
    sqlite3* reader_ = nullptr;
    sqlite3_stmt* upsert_ = nullptr;
    mutable std::mutex readMutex_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable flushed_;
    std::vector<Sample> queue_;
    uint64_t queuedSeq_ = 0;
    uint64_t doneSeq_ = 0;
    uint64_t cycles_ = 0;  // writer rounds (commit and trim step) completed
    bool stop_ = false;
    bool flushWanted_ = false;
    bool dropTold_ = false;
    StoreStats stats_;

    std::vector<Open_> open_;  // writer thread only, by item
    uint32_t trimCursor_ = 0;
    uint32_t maxItem_ = 0;
    std::thread writer_;
};

}  // namespace qora::history
