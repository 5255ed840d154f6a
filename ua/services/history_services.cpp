// History service: HistoryRead of the raw values the toolkit keeps for items (ReadRawModifiedDetails
// without modified values), with bounds, reverse reading and continuation points per session.
#include <algorithm>
#include <limits>

#include "ua/engine/engine.h"

namespace qora::ua {

namespace {

// Later than any kept value: the open end of a forward read.
constexpr uint64_t kLatest = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
constexpr const char* kDefaultBinaryEncoding = "Default Binary";

HistoryReadResult Failed(StatusCode st) {
    HistoryReadResult r;
    r.status = st;
    return r;
}

void SetTimestamps(DataValue& dv, uint64_t time, uint32_t timestamps) {
    if (time == 0) return;
    if (timestamps == TsSource || timestamps == TsBoth) {
        dv.hasSourceTimestamp = true;
        dv.sourceTimestamp = static_cast<int64_t>(time);
    }
    if (timestamps == TsServer || timestamps == TsBoth) {
        dv.hasServerTimestamp = true;
        dv.serverTimestamp = static_cast<int64_t>(time);
    }
}

// A kept value: the time it was kept is when the server took it, so it stands for both timestamps.
DataValue KeptValue(const HistorySample& s, uint32_t timestamps) {
    DataValue dv;
    dv.hasValue = true;
    dv.value = Variant::Float(s.value);
    if (const StatusCode st = QualityToStatus(s.quality); st != status::Good) {
        dv.hasStatus = true;
        dv.status = st;
    }
    SetTimestamps(dv, s.time, timestamps);
    return dv;
}

// A bound with no value beyond it: no value, BadBoundNotFound, the bound's time (if there is one).
DataValue MissingBound(uint64_t time, uint32_t timestamps) {
    DataValue dv;
    dv.hasStatus = true;
    dv.status = status::BadBoundNotFound;
    SetTimestamps(dv, time, timestamps);
    return dv;
}

// The time domain of the details as a reading plan; false when they define none (fewer than two
// of start, end and count). A time of DateTime 0 (or before) is "not given".
bool PlanRawRead(const ReadRawDetails& d, HistoryContinuation& cp) {
    const uint64_t start = d.startTime > 0 ? static_cast<uint64_t>(d.startTime) : 0;
    const uint64_t end = d.endTime > 0 ? static_cast<uint64_t>(d.endTime) : 0;
    if (start == 0 && end == 0) return false;
    if ((start == 0 || end == 0) && d.numValuesPerNode == 0) return false;
    cp.startBoundOwed = cp.endBoundOwed = d.returnBounds;
    if (start != 0 && end != 0) {
        // Both times: the count is what one call hands out, and the whole range is read.
        cp.perCall = d.numValuesPerNode;
        cp.cursor = cp.startBoundTime = start;
        if (start == end) {
            cp.to = start + 1;
            cp.endBoundTime = start;
            cp.single = true;
        } else {
            cp.reverse = end < start;
            cp.to = cp.endBoundTime = end;
        }
        return true;
    }
    // One time: the count is the whole read.
    cp.remaining = d.numValuesPerNode;
    if (start != 0) {
        cp.cursor = cp.startBoundTime = start;
        return true;
    }
    // Only the end: backwards from just before it (a value at the end time is outside the
    // domain, and it is the bound there).
    cp.reverse = true;
    cp.cursor = end - 1;
    cp.startBoundTime = end;
    cp.startInclusive = false;
    return true;
}

bool TakeHistoryContinuation(Session& s, const std::string& id, HistoryContinuation& out) {
    auto& q = s.historyContinuations;
    auto it = std::find_if(q.begin(), q.end(), [&](const HistoryContinuation& c) { return c.id == id; });
    if (it == q.end()) return false;
    out = std::move(*it);
    q.erase(it);
    return true;
}

}  // namespace

bool Engine::ReadHistoryPage(HistoryContinuation& cp, uint64_t page, uint32_t timestamps,
                             std::vector<DataValue>& out) {
    const uint32_t handle = space_.Item(cp.item).handle;
    std::vector<HistorySample> got;
    bool ok = true;
    // The first kept value the backend gives for (a, b), if any.
    auto first = [&](uint64_t a, uint64_t b, HistorySample& s) {
        if (!backend_.ReadHistoryRaw(handle, a, b, 1, got)) ok = false;
        if (!ok || got.empty()) return false;
        s = got.front();
        return true;
    };
    // Every value handed out counts against what the client still wants.
    auto push = [&](DataValue dv) {
        out.push_back(std::move(dv));
        if (cp.remaining != 0 && --cp.remaining == 0) {
            cp.dataDone = true;
            cp.startBoundOwed = cp.endBoundOwed = false;
        }
    };

    if (cp.startBoundOwed && out.size() < page) {
        cp.startBoundOwed = false;
        const uint64_t t = cp.startBoundTime;
        HistorySample s;
        if (cp.startInclusive && first(t, t + 1, s)) {
            // The value at the start is the first one read, and its own bound.
            if (cp.single) cp.endBoundOwed = false;
        } else if (ok) {
            // Beyond the start against the reading order: the latest before it, or (reading
            // backwards) the earliest after it.
            const bool found =
                cp.reverse ? first(cp.startInclusive ? t + 1 : t, kLatest, s) : t > 1 && first(t - 1, 0, s);
            push(found ? KeptValue(s, timestamps) : MissingBound(t, timestamps));
        }
    }

    if (ok && !cp.dataDone && out.size() < page) {
        const uint64_t want = page - out.size();
        // One value more than wanted tells whether the domain goes on.
        const uint64_t asked = want + cp.skip + 1;
        const uint64_t stop = cp.reverse || cp.to != 0 ? cp.to : kLatest;
        if (!backend_.ReadHistoryRaw(handle, cp.cursor, stop, static_cast<size_t>(asked), got)) return false;
        size_t i = 0;
        // Values at the cursor that an earlier call handed out.
        for (uint32_t skipped = 0; i < got.size() && skipped < cp.skip && got[i].time == cp.cursor; ++i)
            ++skipped;
        for (; i < got.size() && out.size() < page && !cp.dataDone; ++i) {
            if (got[i].time != cp.cursor) {
                cp.cursor = got[i].time;
                cp.skip = 0;
            }
            ++cp.skip;
            push(KeptValue(got[i], timestamps));
        }
        if (got.size() < asked && i == got.size()) cp.dataDone = true;
    }

    if (ok && cp.dataDone && cp.endBoundOwed && out.size() < page) {
        cp.endBoundOwed = false;
        HistorySample s;
        // The value at the end or beyond it in the reading order.
        const bool found = cp.to != 0 && (cp.reverse ? first(cp.to, 0, s) : first(cp.to, kLatest, s));
        if (ok) push(found ? KeptValue(s, timestamps) : MissingBound(cp.endBoundTime, timestamps));
    }
    return ok;
}

Reply<HistoryReadResponse> Engine::ServiceHistoryRead(ServiceContext& ctx, const HistoryReadRequest& r) {
    if (const StatusCode fault = OperationCountFault(r.nodes.size(), kMaxHistoryNodesPerRead))
        return ServiceFault{fault};
    // Neither timestamp is no choice for history: values without a time mean nothing.
    if (r.timestamps > TsBoth) return ServiceFault{status::BadTimestampsToReturnInvalid};
    HistoryContinuation plan;
    if (!r.releaseContinuationPoints) {
        if (!r.details.typeId.IsNs0(kReadRawModifiedDetailsEncoding) || r.details.encoding != 1)
            return ServiceFault{status::BadHistoryOperationUnsupported};
        ReadRawDetails details;
        Decoder d(r.details.body);
        Decode(d, details);
        if (details.isReadModified) return ServiceFault{status::BadHistoryOperationUnsupported};
        if (!PlanRawRead(details, plan)) return ServiceFault{status::BadHistoryOperationInvalid};
    }

    Session& s = *ctx.session;
    uint64_t budget = kMaxHistoryValuesPerCall;
    size_t created = 0;  // continuation points handed out by this call
    HistoryReadResponse out;
    out.results.reserve(r.nodes.size());
    for (const HistoryReadValueId& v : r.nodes) {
        const auto node = space_.Find(v.node);
        HistoryContinuation cp;
        if (!v.continuationPoint.empty()) {
            if (!TakeHistoryContinuation(s, v.continuationPoint, cp) || !node || !node->item ||
                node->index != cp.item) {
                out.results.push_back(Failed(status::BadContinuationPointInvalid));
                continue;
            }
            if (r.releaseContinuationPoints) {
                out.results.push_back(Failed(status::Good));
                continue;
            }
        } else if (r.releaseContinuationPoints) {
            out.results.push_back(Failed(status::Good));  // nothing to release
            continue;
        } else {
            StatusCode st = status::Good;
            if (!node)
                st = status::BadNodeIdUnknown;
            else if (!node->item || !space_.Historizing())
                st = status::BadHistoryOperationUnsupported;
            else if (!v.encoding.name.isNull && !v.encoding.name.value.empty() &&
                     v.encoding.name.value != kDefaultBinaryEncoding)
                st = status::BadDataEncodingUnsupported;
            else if (!v.indexRange.isNull && !v.indexRange.value.empty())
                st = status::BadIndexRangeNoData;
            if (st != status::Good) {
                out.results.push_back(Failed(st));
                continue;
            }
            cp = plan;
            cp.item = node->index;
        }

        uint64_t page = std::min<uint64_t>(kMaxHistoryValuesPerResponse, budget);
        if (cp.perCall != 0) page = std::min<uint64_t>(page, cp.perCall);
        HistoryReadResult result;
        result.hasData = true;
        if (!ReadHistoryPage(cp, page, r.timestamps, result.values)) {
            out.results.push_back(Failed(status::BadHistoryOperationUnsupported));
            continue;
        }
        budget -= std::min<uint64_t>(budget, result.values.size());
        if (!cp.dataDone || cp.startBoundOwed || cp.endBoundOwed) {
            // The session keeps where the read goes on; a new point pushes out the oldest of an
            // earlier call, never one this call hands out.
            if (created == kMaxHistoryContinuationPoints) {
                out.results.push_back(Failed(status::BadNoContinuationPoints));
                continue;
            }
            if (s.historyContinuations.size() >= kMaxHistoryContinuationPoints)
                s.historyContinuations.pop_front();
            ++created;
            cp.id = std::to_string(sessions_.NewContinuationId()) + ":" + sessions_.RandomBytes(16);
            result.continuationPoint = cp.id;
            s.historyContinuations.push_back(std::move(cp));
        } else if (result.values.empty()) {
            result.status = status::GoodNoData;
        }
        out.results.push_back(std::move(result));
    }
    return out;
}

}  // namespace qora::ua
