#include "ua/nodes/item_tree.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <map>
#include <unordered_map>
#include <utility>

namespace qora::ua {

namespace {

constexpr uint32_t kUInt32Type = 7, kUInt64Type = 9, kBooleanType = 1, kStringType = 12, kDateTimeType = 13;

constexpr CounterInfo kPointCounters[kPointCounterCount] = {
    {"PortOpen", kBooleanType},      {"RequestsSent", kUInt64Type},
    {"BytesSent", kUInt64Type},      {"BytesReceived", kUInt64Type},
    {"FramesReceived", kUInt64Type}, {"FramesDroppedOnChecksum", kUInt64Type},
    {"BytesDiscarded", kUInt64Type}, {"WriteTimeouts", kUInt64Type},
    {"OpenFailures", kUInt64Type},   {"LastOpenError", kStringType},
};
constexpr CounterInfo kDeviceCounters[kDeviceCounterCount] = {
    {"RequestsSent", kUInt64Type},    {"GoodReplies", kUInt64Type},
    {"RejectedReplies", kUInt64Type}, {"ConsecutiveUnanswered", kUInt32Type},
    {"LastGoodReply", kDateTimeType}, {"LastReplyTimeMs", kUInt32Type},
};

constexpr std::string_view kPointTag = "Point:";
constexpr std::string_view kDeviceTag = "/Device:";
constexpr std::string_view kDiagnosticsTag = "/Diagnostics";

// FNV-1a, fed piece by piece so an item's text need not be assembled to be hashed.
struct Fnv {
    uint64_t h = 1469598103934665603ull;
    void Add(std::string_view s) {
        for (unsigned char c : s) h = (h ^ c) * 1099511628211ull;
    }
};

std::string SuffixText(uint16_t duplicate) {
    return duplicate ? "#" + std::to_string(duplicate) : std::string();
}

// A canonical decimal position at the start of s ("0", "17"; no sign, no leading zero).
bool TakePosition(std::string_view& s, int32_t& out) {
    if (s.empty() || s[0] < '0' || s[0] > '9' || (s[0] == '0' && s.size() > 1 && s[1] >= '0' && s[1] <= '9'))
        return false;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    if (ec != std::errc()) return false;
    s.remove_prefix(static_cast<size_t>(end - s.data()));
    return true;
}

bool TakePrefix(std::string_view& s, std::string_view prefix) {
    if (s.substr(0, prefix.size()) != prefix) return false;
    s.remove_prefix(prefix.size());
    return true;
}

}  // namespace

const CounterInfo& PointCounterInfo(uint8_t counter) {
    return kPointCounters[counter];
}
const CounterInfo& DeviceCounterInfo(uint8_t counter) {
    return kDeviceCounters[counter];
}

void ItemTree::Build(const std::vector<ItemInfo>& items) {
    names_.clear();
    tailOffsets_.clear();
    tailLengths_.clear();
    items_.clear();
    points_.clear();
    devices_.clear();
    loose_.clear();
    children_.clear();
    slots_.clear();

    // Points and devices, in configuration order; each name is stored once.
    std::map<int32_t, size_t> pointFirst;                       // position → first item naming it
    std::map<std::pair<int32_t, int32_t>, size_t> deviceFirst;  // (point, device) → first item
    for (size_t i = 0; i < items.size(); ++i) {
        const ItemInfo& info = items[i];
        if (info.point < 0 || info.device < 0) continue;
        pointFirst.try_emplace(info.point, i);
        deviceFirst.try_emplace({info.point, info.device}, i);
    }
    std::map<int32_t, uint32_t> pointIndex;
    for (const auto& [position, first] : pointFirst) {
        PointNode p;
        p.position = position;
        p.nameOffset = static_cast<uint32_t>(names_.size());
        p.nameLength = static_cast<uint32_t>(items[first].pointName.size());
        names_ += items[first].pointName;
        pointIndex.emplace(position, static_cast<uint32_t>(points_.size()));
        points_.push_back(p);
    }
    std::map<std::pair<int32_t, int32_t>, uint32_t> deviceIndex;
    for (const auto& [key, first] : deviceFirst) {
        const uint32_t point = pointIndex.at(key.first);
        PointNode& p = points_[point];
        if (p.deviceCount == 0) p.firstDevice = static_cast<uint32_t>(devices_.size());
        ++p.deviceCount;
        DeviceNode d;
        d.position = key.second;
        d.point = point;
        d.prefixOffset = static_cast<uint32_t>(names_.size());
        d.nameStart = static_cast<uint32_t>(items[first].pointName.size() + 1);
        d.nameLength = static_cast<uint32_t>(items[first].deviceName.size());
        names_ += items[first].pointName;
        names_ += '.';
        names_ += items[first].deviceName;
        names_ += '.';
        d.prefixLength = static_cast<uint32_t>(names_.size()) - d.prefixOffset;
        deviceIndex.emplace(key, static_cast<uint32_t>(devices_.size()));
        devices_.push_back(d);
    }

    // Items: the device, the tail after the device's prefix (interned), loose items.
    std::unordered_map<std::string_view, uint32_t> tails;
    items_.reserve(items.size());
    std::pair<int32_t, int32_t> lastKey{-1, -1};
    uint32_t lastDevice = kNoDevice;
    for (size_t i = 0; i < items.size(); ++i) {
        const ItemInfo& info = items[i];
        ItemNode n;
        n.handle = info.handle;
        n.accessRights = static_cast<uint8_t>(info.accessRights);
        n.metadata = info.metadata;
        std::string_view tail(info.itemId);
        if (info.point >= 0 && info.device >= 0) {
            const std::pair<int32_t, int32_t> key{info.point, info.device};
            if (key != lastKey) {
                lastKey = key;
                lastDevice = deviceIndex.at(key);
            }
            n.device = lastDevice;
            const DeviceNode& d = devices_[n.device];
            const std::string_view prefix(names_.data() + d.prefixOffset, d.prefixLength);
            if (tail.size() > prefix.size() && tail.substr(0, prefix.size()) == prefix) {
                tail.remove_prefix(prefix.size());
                n.prefixed = true;
            }
        } else {
            loose_.push_back(static_cast<uint32_t>(i));
        }
        auto [it, added] = tails.try_emplace(tail, static_cast<uint32_t>(tailOffsets_.size()));
        if (added) {
            tailOffsets_.push_back(static_cast<uint32_t>(names_.size()));
            tailLengths_.push_back(static_cast<uint32_t>(tail.size()));
            names_ += tail;
        }
        n.tail = it->second;
        items_.push_back(n);
    }

    // Children of each device: ranges of the item table when every device's items are
    // contiguous (the server creates them so), otherwise of a table sorted by device.
    std::vector<uint32_t> count(devices_.size(), 0), first(devices_.size(), 0), last(devices_.size(), 0);
    bool contiguous = true;
    for (uint32_t i = 0; i < items_.size(); ++i) {
        const uint32_t d = items_[i].device;
        if (d == kNoDevice) continue;
        if (count[d] == 0)
            first[d] = i;
        else if (last[d] != i - 1)
            contiguous = false;
        last[d] = i;
        ++count[d];
    }
    if (contiguous) {
        for (size_t d = 0; d < devices_.size(); ++d) {
            devices_[d].firstChild = first[d];
            devices_[d].childCount = count[d];
        }
    } else {
        uint32_t at = 0;
        for (size_t d = 0; d < devices_.size(); ++d) {
            devices_[d].firstChild = at;
            devices_[d].childCount = count[d];
            at += count[d];
        }
        children_.assign(at, 0);
        std::vector<uint32_t> fill(devices_.size(), 0);
        for (uint32_t i = 0; i < items_.size(); ++i) {
            const uint32_t d = items_[i].device;
            if (d != kNoDevice) children_[devices_[d].firstChild + fill[d]++] = i;
        }
    }

    // The NodeId table. First occurrences take their ID; duplicates then take the first free
    // "#n", counting on from the last suffix given to the same ID.
    const size_t capacity = std::bit_ceil(std::max<size_t>(16, items_.size() + items_.size() / 2 + 1));
    slots_.assign(capacity, 0);
    // Below 2^24 items the upper byte of a slot holds hash bits, compared before the texts.
    indexMask_ = items_.size() < kTaggedIndexMask ? kTaggedIndexMask : ~uint32_t{0};
    std::vector<uint32_t> duplicates;
    std::string text;
    for (uint32_t i = 0; i < items_.size(); ++i) {
        text = ItemNodeText(i);
        const uint64_t hash = HashOf(items_[i]);
        const size_t slot = Probe(text, hash);
        if (slots_[slot] == 0)
            slots_[slot] = (i + 1) | Tag(hash);
        else
            duplicates.push_back(i);
    }
    std::unordered_map<size_t, uint16_t> nextSuffix;  // slot of the original → next suffix to try
    for (uint32_t i : duplicates) {
        text = ItemNodeText(i);
        const size_t baseSlot = Probe(text, HashOf(items_[i]));
        uint16_t& n = nextSuffix.try_emplace(baseSlot, uint16_t{2}).first->second;
        for (; n != 0; ++n) {
            items_[i].duplicate = n;
            text = ItemNodeText(i);
            const uint64_t hash = HashOf(items_[i]);
            const size_t slot = Probe(text, hash);
            if (slots_[slot] == 0) {
                slots_[slot] = (i + 1) | Tag(hash);
                ++n;
                break;
            }
        }
    }
}

std::string_view ItemTree::Tail(uint32_t t) const {
    return std::string_view(names_.data() + tailOffsets_[t], tailLengths_[t]);
}

std::string_view ItemTree::Prefix(const ItemNode& n) const {
    if (!n.prefixed) return {};
    const DeviceNode& d = devices_[n.device];
    return std::string_view(names_.data() + d.prefixOffset, d.prefixLength);
}

uint64_t ItemTree::HashOf(const ItemNode& n) const {
    Fnv f;
    f.Add(Prefix(n));
    f.Add(Tail(n.tail));
    if (n.duplicate) f.Add(SuffixText(n.duplicate));
    return f.h;
}

bool ItemTree::TextEquals(const ItemNode& n, std::string_view text) const {
    const std::string_view prefix = Prefix(n), tail = Tail(n.tail);
    if (!TakePrefix(text, prefix) || !TakePrefix(text, tail)) return false;
    if (!n.duplicate) return text.empty();
    return text == SuffixText(n.duplicate);
}

size_t ItemTree::Probe(std::string_view text, uint64_t hash) const {
    const size_t mask = slots_.size() - 1;
    const uint32_t tag = Tag(hash);
    for (size_t i = static_cast<size_t>(hash) & mask;; i = (i + 1) & mask) {
        const uint32_t s = slots_[i];
        if (s == 0 || ((s & ~indexMask_) == tag && TextEquals(items_[(s & indexMask_) - 1], text))) return i;
    }
}

std::optional<uint32_t> ItemTree::FindItem(std::string_view text) const {
    if (slots_.empty()) return std::nullopt;
    Fnv f;
    f.Add(text);
    const uint32_t s = slots_[Probe(text, f.h)];
    if (s == 0) return std::nullopt;
    return (s & indexMask_) - 1;
}

const PointNode* ItemTree::PointAt(int32_t position) const {
    auto it = std::lower_bound(points_.begin(), points_.end(), position,
                               [](const PointNode& p, int32_t v) { return p.position < v; });
    return it != points_.end() && it->position == position ? &*it : nullptr;
}

std::optional<PlacementNode> ItemTree::FindPlacement(std::string_view s) const {
    using Kind = PlacementNode::Kind;
    int32_t position = 0;
    if (!TakePrefix(s, kPointTag) || !TakePosition(s, position)) return std::nullopt;
    const PointNode* p = PointAt(position);
    if (!p) return std::nullopt;
    PlacementNode out;
    out.index = static_cast<uint32_t>(p - points_.data());
    bool device = false;
    if (TakePrefix(s, kDeviceTag)) {
        if (!TakePosition(s, position)) return std::nullopt;
        const DeviceNode* begin = devices_.data() + p->firstDevice;
        const DeviceNode* end = begin + p->deviceCount;
        const DeviceNode* d = std::lower_bound(begin, end, position,
                                               [](const DeviceNode& n, int32_t v) { return n.position < v; });
        if (d == end || d->position != position) return std::nullopt;
        out.index = static_cast<uint32_t>(d - devices_.data());
        device = true;
    }
    out.kind = device ? Kind::Device : Kind::Point;
    if (s.empty()) return out;
    if (!TakePrefix(s, kDiagnosticsTag)) return std::nullopt;
    out.kind = device ? Kind::DeviceDiagnostics : Kind::PointDiagnostics;
    if (s.empty()) return out;
    if (!TakePrefix(s, "/")) return std::nullopt;
    const uint8_t n = device ? uint8_t{kDeviceCounterCount} : uint8_t{kPointCounterCount};
    for (uint8_t c = 0; c < n; ++c) {
        if (s == (device ? kDeviceCounters[c].name : kPointCounters[c].name)) {
            out.kind = device ? Kind::DeviceCounter : Kind::PointCounter;
            out.counter = c;
            return out;
        }
    }
    return std::nullopt;
}

std::string ItemTree::ItemNodeText(uint32_t i) const {
    const ItemNode& n = items_[i];
    std::string s(Prefix(n));
    s += Tail(n.tail);
    if (n.duplicate) s += SuffixText(n.duplicate);
    return s;
}

std::string ItemTree::ItemId(uint32_t i) const {
    const ItemNode& n = items_[i];
    std::string s(Prefix(n));
    s += Tail(n.tail);
    return s;
}

std::string_view ItemTree::ItemBrowseName(uint32_t i) const {
    return Tail(items_[i].tail);
}

std::string_view ItemTree::PointName(uint32_t p) const {
    return std::string_view(names_.data() + points_[p].nameOffset, points_[p].nameLength);
}

std::string_view ItemTree::DeviceName(uint32_t d) const {
    const DeviceNode& n = devices_[d];
    return std::string_view(names_.data() + n.prefixOffset + n.nameStart, n.nameLength);
}

std::string ItemTree::PlacementText(const PlacementNode& n) const {
    using Kind = PlacementNode::Kind;
    const bool device =
        n.kind == Kind::Device || n.kind == Kind::DeviceDiagnostics || n.kind == Kind::DeviceCounter;
    std::string s(kPointTag);
    if (device) {
        const DeviceNode& d = devices_[n.index];
        s += std::to_string(points_[d.point].position);
        s += kDeviceTag;
        s += std::to_string(d.position);
    } else {
        s += std::to_string(points_[n.index].position);
    }
    if (n.kind == Kind::Point || n.kind == Kind::Device) return s;
    s += kDiagnosticsTag;
    if (n.kind == Kind::PointCounter) s += "/" + std::string(kPointCounters[n.counter].name);
    if (n.kind == Kind::DeviceCounter) s += "/" + std::string(kDeviceCounters[n.counter].name);
    return s;
}

size_t ItemTree::HeapBytes() const {
    return names_.capacity() + (tailOffsets_.capacity() + tailLengths_.capacity()) * sizeof(uint32_t) +
           items_.capacity() * sizeof(ItemNode) + points_.capacity() * sizeof(PointNode) +
           devices_.capacity() * sizeof(DeviceNode) +
           (loose_.capacity() + children_.capacity() + slots_.capacity()) * sizeof(uint32_t);
}

}  // namespace qora::ua
