#include "history/history_store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace qora::history {
namespace {

constexpr uint64_t kUnixEpochTicks = 116444736000000000ULL;  // 1601 -> 1970 in 100 ns
constexpr uint32_t kTrimItemsPerStep = 512;

uint64_t SystemNow() {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    return kUnixEpochTicks +
           static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100);
}

void PutVarint(std::vector<uint8_t>& out, uint64_t v) {
    while (v >= 0x80) {
        out.push_back(static_cast<uint8_t>(v | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<uint8_t>(v));
}

bool GetVarint(const uint8_t*& p, const uint8_t* end, uint64_t& v) {
    v = 0;
    for (int shift = 0; p < end && shift < 64; shift += 7) {
        const uint8_t b = *p++;
        v |= static_cast<uint64_t>(b & 0x7f) << shift;
        if (!(b & 0x80)) return true;
    }
    return false;
}

// Quality byte: the value itself below 255; 255 is followed by the 16-bit quality.
void PutEntry(std::vector<uint8_t>& out, uint64_t delta, float value, uint16_t quality) {
    PutVarint(out, delta);
    uint8_t raw[4];
    std::memcpy(raw, &value, 4);
    out.insert(out.end(), raw, raw + 4);
    if (quality < 255) {
        out.push_back(static_cast<uint8_t>(quality));
    } else {
        out.push_back(255);
        out.push_back(static_cast<uint8_t>(quality & 0xff));
        out.push_back(static_cast<uint8_t>(quality >> 8));
    }
}

// Times are bound as signed 64-bit; anything beyond the signed range means "no limit".
int64_t Ticks(uint64_t t) {
    return t > uint64_t(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(t);
}

bool Exec(sqlite3* db, const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool IsDamage(int rc) {
    return (rc & 0xff) == SQLITE_CORRUPT || (rc & 0xff) == SQLITE_NOTADB;
}

const char* kSchema =
    "CREATE TABLE IF NOT EXISTS bucket(item INTEGER NOT NULL, t0 INTEGER NOT NULL, n INTEGER NOT NULL,"
    " data BLOB NOT NULL, PRIMARY KEY(item, t0)) WITHOUT ROWID";

// Opens and checks a database; SQLITE_OK or the error (damage codes mean: set the file aside).
int OpenChecked(const std::string& file, sqlite3** db) {
    int rc = sqlite3_open_v2(file.c_str(), db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) return rc;
    sqlite3_extended_result_codes(*db, 1);
    sqlite3_busy_timeout(*db, 2000);
    rc = sqlite3_exec(*db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) return rc;
    sqlite3_stmt* check = nullptr;
    rc = sqlite3_prepare_v2(*db, "PRAGMA quick_check", -1, &check, nullptr);
    if (rc != SQLITE_OK) return rc;
    rc = sqlite3_step(check);
    if (rc == SQLITE_ROW) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(check, 0));
        rc = (text && std::strcmp(text, "ok") == 0) ? SQLITE_OK : SQLITE_CORRUPT;
    }
    sqlite3_finalize(check);
    if (rc != SQLITE_OK) return rc;
    return sqlite3_exec(*db, kSchema, nullptr, nullptr, nullptr);
}

}  // namespace

Store::Store(StoreOptions options) : options_(std::move(options)) {}

std::unique_ptr<Store> Store::Open(StoreOptions options, std::string& error) {
    std::unique_ptr<Store> store(new Store(std::move(options)));
    if (!store->OpenDatabase(error)) return nullptr;
    store->writer_ = std::thread([s = store.get()] { s->Run(); });
    return store;
}

void Store::Tell(const std::string& text) const {
    if (options_.message) options_.message(text);
}

uint64_t Store::Now() const {
    return options_.now ? options_.now() : SystemNow();
}

bool Store::OpenDatabase(std::string& error) {
    const std::string& file = options_.file;
    const std::string lockFile = file + ".lock";
    lockFd_ = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lockFd_ < 0) {
        error = "History: cannot create " + lockFile + ": " + std::strerror(errno);
        return false;
    }
    if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        error = "History: " + file + " is in use by another program instance";
        return false;
    }
    int rc = OpenChecked(file, &db_);
    if (IsDamage(rc)) {
        sqlite3_close(db_);
        db_ = nullptr;
        std::string aside;
        for (int n = 1;; ++n) {
            aside = file + ".damaged-" + std::to_string(n);
            if (!std::filesystem::exists(aside)) break;
        }
        std::error_code ec;
        std::filesystem::rename(file, aside, ec);
        std::filesystem::remove(file + "-wal", ec);
        std::filesystem::remove(file + "-shm", ec);
        Tell("History: " + file + " is damaged; set aside as " + aside + ", a new history starts");
        rc = OpenChecked(file, &db_);
    }
    if (rc != SQLITE_OK) {
        error = "History: cannot open " + file + ": " + (db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc));
        return false;
    }
    Exec(db_, "PRAGMA synchronous=NORMAL");
    Exec(db_, "PRAGMA wal_autocheckpoint=4000");
    if (options_.maxPageCount)
        Exec(db_, ("PRAGMA max_page_count=" + std::to_string(options_.maxPageCount)).c_str());
    if (sqlite3_prepare_v2(db_, "INSERT OR REPLACE INTO bucket(item, t0, n, data) VALUES(?1, ?2, ?3, ?4)", -1,
                           &upsert_, nullptr) != SQLITE_OK) {
        error = std::string("History: ") + sqlite3_errmsg(db_);
        return false;
    }
    if (sqlite3_open_v2(file.c_str(), &reader_, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) !=
        SQLITE_OK) {
        error = std::string("History: cannot open a reader: ") + sqlite3_errmsg(reader_);
        return false;
    }
    sqlite3_busy_timeout(reader_, 2000);
    return true;
}

Store::~Store() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (writer_.joinable()) writer_.join();
    sqlite3_finalize(upsert_);
    sqlite3_close(reader_);
    sqlite3_close(db_);
    if (lockFd_ >= 0) ::close(lockFd_);
}

bool Store::Append(const Sample* samples, size_t count) {
    bool tell = false;
    {
        std::lock_guard lock(mutex_);
        if (queue_.size() + count > options_.queueCapacity) {
            stats_.dropped += count;
            tell = !dropTold_;
            dropTold_ = true;
        } else {
            queue_.insert(queue_.end(), samples, samples + count);
            stats_.appended += count;
            queuedSeq_ += count;
            dropTold_ = false;
            return true;
        }
    }
    if (tell) Tell("History: the write queue is full; values are dropped");
    return false;
}

void Store::Flush() {
    std::unique_lock lock(mutex_);
    const uint64_t target = queuedSeq_;
    const uint64_t cycle = cycles_;
    flushWanted_ = true;
    wake_.notify_all();
    flushed_.wait(lock, [&] { return (doneSeq_ >= target && cycles_ > cycle) || stop_; });
}

StoreStats Store::Stats() const {
    std::lock_guard lock(mutex_);
    return stats_;
}

void Store::Run() {
    std::vector<Sample> batch;
    std::unique_lock lock(mutex_);
    while (true) {
        wake_.wait_for(lock, std::chrono::milliseconds(options_.commitIntervalMs),
                       [&] { return stop_ || flushWanted_; });
        flushWanted_ = false;
        batch.clear();
        batch.swap(queue_);
        const bool stopping = stop_;
        lock.unlock();
        const uint64_t count = batch.size();
        WriteBatch(batch);
        Trim();
        lock.lock();
        doneSeq_ += count;
        ++cycles_;
        flushed_.notify_all();
        if (stopping && queue_.empty()) break;
    }
}

void Store::WriteBatch(std::vector<Sample>& batch) {
    if (batch.empty()) return;
    // Items touched by this batch, in order, to rewrite each open bucket once.
    std::vector<uint32_t> touched;
    struct Closed {
        uint32_t item;
        uint64_t t0;
        uint32_t n;
        std::vector<uint8_t> blob;
    };
    std::vector<Closed> done;
    for (const Sample& s : batch) {
        if (s.item >= open_.size()) open_.resize(static_cast<size_t>(s.item) + 1);
        maxItem_ = std::max(maxItem_, s.item);
        Open_& b = open_[s.item];
        if (b.count > 0 && (s.time < b.last || b.count >= kBucketValues)) {
            // A full bucket, or time going back (a clock step): the next value starts a new one.
            done.push_back({s.item, b.t0, b.count, std::move(b.blob)});
            b = Open_{};
        }
        if (b.count == 0) {
            b.t0 = s.time;
            b.last = s.time;
            // Grows 72, 144, 288: a full bucket of one-byte qualities fits without slack.
            b.blob.reserve(kBucketValues / 4 * 9);
        }
        PutEntry(b.blob, s.time - b.last, s.value, s.quality);
        b.last = s.time;
        ++b.count;
        if (touched.empty() || touched.back() != s.item) touched.push_back(s.item);
    }
    std::sort(touched.begin(), touched.end());
    touched.erase(std::unique(touched.begin(), touched.end()), touched.end());

    auto put = [&](uint32_t item, uint64_t t0, uint32_t n, const std::vector<uint8_t>& blob) {
        sqlite3_bind_int64(upsert_, 1, item);
        sqlite3_bind_int64(upsert_, 2, Ticks(t0));
        sqlite3_bind_int64(upsert_, 3, n);
        sqlite3_bind_blob(upsert_, 4, blob.data(), static_cast<int>(blob.size()), SQLITE_STATIC);
        const int rc = sqlite3_step(upsert_);
        sqlite3_reset(upsert_);
        return rc == SQLITE_DONE ? SQLITE_OK : rc;
    };
    int rc = Exec(db_, "BEGIN") ? SQLITE_OK : sqlite3_errcode(db_);
    for (const Closed& c : done)
        if (rc == SQLITE_OK) rc = put(c.item, c.t0, c.n, c.blob);
    for (uint32_t item : touched) {
        if (rc != SQLITE_OK) break;
        const Open_& b = open_[item];
        if (b.count) rc = put(item, b.t0, b.count, b.blob);
    }
    if (rc == SQLITE_OK) rc = Exec(db_, "COMMIT") ? SQLITE_OK : sqlite3_extended_errcode(db_);

    if (rc != SQLITE_OK) {
        Exec(db_, "ROLLBACK");
        // What was not committed is lost; open buckets start over so rows stay as committed.
        for (uint32_t item : touched) open_[item] = Open_{};
        bool tell = false;
        {
            std::lock_guard lock(mutex_);
            stats_.dropped += batch.size();
            tell = !stats_.diskFull;
            stats_.diskFull = true;
        }
        if (tell) {
            const bool full = (rc & 0xff) == SQLITE_FULL;
            Tell(std::string("History: ") + (full ? "the disk is full" : sqlite3_errstr(rc)) +
                 "; values are not stored until there is room");
        }
        return;
    }
    bool resumed = false;
    {
        std::lock_guard lock(mutex_);
        resumed = stats_.diskFull;
        stats_.diskFull = false;
        stats_.stored += batch.size();
        ++stats_.commits;
    }
    if (resumed) Tell("History: storing again");
}

// One small step of retention per commit: a slice of the items loses buckets older than the
// retention age, and while the pages in use exceed the size limit, its oldest bucket each.
void Store::Trim() {
    auto pragma = [&](const char* sql) {
        sqlite3_stmt* st = nullptr;
        int64_t v = 0;
        if (sqlite3_prepare_v2(db_, sql, -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
            v = sqlite3_column_int64(st, 0);
        sqlite3_finalize(st);
        return v;
    };
    const uint64_t pageSize = static_cast<uint64_t>(pragma("PRAGMA page_size"));
    uint64_t inUse = (static_cast<uint64_t>(pragma("PRAGMA page_count")) -
                      static_cast<uint64_t>(pragma("PRAGMA freelist_count"))) *
                     pageSize;
    const bool overSize = options_.maxBytes && inUse > options_.maxBytes;
    const uint64_t now = Now();
    const uint64_t age = uint64_t(options_.retentionDays) * 86400ULL * kTicksPerSecond;
    const uint64_t cutoff = (options_.retentionDays && now > age) ? now - age : 0;
    uint64_t trimmed = 0;
    if ((cutoff || overSize) && maxItem_ + 1 > 0) {
        sqlite3_stmt* old = nullptr;
        sqlite3_stmt* oldest = nullptr;
        // A bucket is gone by age when the next bucket of the item starts before the cut-off
        // (the bucket ends before it); the last bucket stays until its own start is too old.
        sqlite3_prepare_v2(db_,
                           "DELETE FROM bucket WHERE item=?1 AND t0 < ?2 AND t0 < "
                           "(SELECT coalesce(max(t0), ?2) FROM bucket WHERE item=?1 AND t0 <= ?2)",
                           -1, &old, nullptr);
        sqlite3_prepare_v2(
            db_,
            "DELETE FROM bucket WHERE item=?1 AND t0=(SELECT min(t0) FROM bucket WHERE item=?1)"
            " AND (SELECT count(*) FROM bucket WHERE item=?1) > 1",
            -1, &oldest, nullptr);
        Exec(db_, "BEGIN");
        for (uint32_t i = 0; i < kTrimItemsPerStep && i <= maxItem_; ++i) {
            const uint32_t item = trimCursor_;
            trimCursor_ = trimCursor_ >= maxItem_ ? 0 : trimCursor_ + 1;
            if (cutoff) {
                sqlite3_bind_int64(old, 1, item);
                sqlite3_bind_int64(old, 2, Ticks(cutoff));
                sqlite3_step(old);
                sqlite3_reset(old);
                trimmed += static_cast<uint64_t>(sqlite3_changes(db_));
            }
            if (overSize) {
                sqlite3_bind_int64(oldest, 1, item);
                sqlite3_step(oldest);
                sqlite3_reset(oldest);
                trimmed += static_cast<uint64_t>(sqlite3_changes(db_));
            }
        }
        Exec(db_, "COMMIT");
        sqlite3_finalize(old);
        sqlite3_finalize(oldest);
        inUse = (static_cast<uint64_t>(pragma("PRAGMA page_count")) -
                 static_cast<uint64_t>(pragma("PRAGMA freelist_count"))) *
                pageSize;
    }
    std::lock_guard lock(mutex_);
    stats_.trimmedBuckets += trimmed;
    stats_.bytesInUse = inUse;
}

std::vector<Sample> Store::Decode(uint32_t item, uint64_t t0, const void* blob, int size) const {
    std::vector<Sample> out;
    const auto* p = static_cast<const uint8_t*>(blob);
    const uint8_t* end = p + size;
    uint64_t t = t0;
    while (p < end) {
        uint64_t delta = 0;
        if (!GetVarint(p, end, delta) || end - p < 5) break;
        Sample s;
        s.item = item;
        t += delta;
        s.time = t;
        std::memcpy(&s.value, p, 4);
        p += 4;
        s.quality = *p++;
        if (s.quality == 255) {
            if (end - p < 2) break;
            s.quality = static_cast<uint16_t>(p[0] | (p[1] << 8));
            p += 2;
        }
        out.push_back(s);
    }
    return out;
}

void Store::VisitBuckets(const char* sql, uint32_t item, uint64_t t2, uint64_t t3,
                         const std::function<bool(const std::vector<Sample>&)>& visit) {
    std::lock_guard lock(readMutex_);
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(reader_, sql, -1, &st, nullptr) != SQLITE_OK) return;
    sqlite3_bind_int64(st, 1, item);
    sqlite3_bind_int64(st, 2, Ticks(t2));
    if (sqlite3_bind_parameter_count(st) >= 3) sqlite3_bind_int64(st, 3, Ticks(t3));
    while (sqlite3_step(st) == SQLITE_ROW)
        if (!visit(Decode(item, static_cast<uint64_t>(sqlite3_column_int64(st, 0)),
                          sqlite3_column_blob(st, 1), sqlite3_column_bytes(st, 1))))
            break;
    sqlite3_finalize(st);
}

// The buckets from the one that holds ?2 (the last starting at or before it) onwards.
#define QORA_BUCKETS_FROM                                  \
    "SELECT t0, data FROM bucket WHERE item=?1 AND t0 >= " \
    "coalesce((SELECT max(t0) FROM bucket WHERE item=?1 AND t0 <= ?2), ?2)"

std::vector<Sample> Store::ReadRaw(uint32_t item, uint64_t start, uint64_t end, size_t maxValues) {
    std::vector<Sample> out;
    if (start >= end || maxValues == 0) return out;
    VisitBuckets(QORA_BUCKETS_FROM " AND t0 < ?3 ORDER BY t0", item, start, end,
                 [&](const std::vector<Sample>& values) {
                     for (const Sample& s : values) {
                         if (s.time < start || s.time >= end) continue;
                         out.push_back(s);
                         if (out.size() == maxValues) return false;
                     }
                     return true;
                 });
    return out;
}

std::vector<Sample> Store::ReadRawReverse(uint32_t item, uint64_t upTo, uint64_t after, size_t maxValues) {
    std::vector<Sample> out;
    if (upTo <= after || maxValues == 0) return out;
    // From the bucket that holds upTo backwards; older buckets hold only older values, so the walk
    // ends at the first value at or before after.
    VisitBuckets("SELECT t0, data FROM bucket WHERE item=?1 AND t0 <= ?2 ORDER BY t0 DESC", item, upTo, 0,
                 [&](const std::vector<Sample>& values) {
                     for (auto it = values.rbegin(); it != values.rend(); ++it) {
                         if (it->time > upTo) continue;
                         if (it->time <= after) return false;
                         out.push_back(*it);
                         if (out.size() == maxValues) return false;
                     }
                     return true;
                 });
    return out;
}

bool Store::ValueBefore(uint32_t item, uint64_t t, Sample& out) {
    bool found = false;
    VisitBuckets("SELECT t0, data FROM bucket WHERE item=?1 AND t0 < ?2 ORDER BY t0 DESC LIMIT 2", item, t, 0,
                 [&](const std::vector<Sample>& values) {
                     for (auto it = values.rbegin(); it != values.rend(); ++it)
                         if (it->time < t) {
                             out = *it;
                             found = true;
                             return false;
                         }
                     return true;
                 });
    return found;
}

bool Store::ValueAtOrAfter(uint32_t item, uint64_t t, Sample& out) {
    bool found = false;
    VisitBuckets(QORA_BUCKETS_FROM " ORDER BY t0", item, t, 0, [&](const std::vector<Sample>& values) {
        for (const Sample& s : values)
            if (s.time >= t) {
                out = s;
                found = true;
                return false;
            }
        return true;
    });
    return found;
}

#undef QORA_BUCKETS_FROM

}  // namespace qora::history
