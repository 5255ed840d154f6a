#include "opc/opc_server.h"

#include <unistd.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <algorithm>
#include <bit>
#include <chrono>

#include "base/file_time.h"
#include "opc/toolkit/gb_types.h"

namespace qora {

using namespace gb;

const uint32_t COPCServer::kLocales[kLocaleCount] = {0x0000, 0x0009, 0x0800, 0x0400, 0x0409, 0x0419, 0x0019};

namespace {

void AppendDecimal(std::u16string& out, unsigned v) {
    char16_t buf[12];
    int n = 0;
    do {
        buf[n++] = static_cast<char16_t>(u'0' + v % 10);
        v /= 10;
    } while (v);
    while (n) out.push_back(buf[--n]);
}

constexpr uint8_t kReportedValue = 1;
constexpr uint8_t kReportedOrphan = 2;

}  // namespace

COPCServer::COPCServer() : handles_(new uint32_t[kMaxItems]()) {}

COPCServer::~COPCServer() {
    GBStopEndpoint();
}

void COPCServer::BeginModelEdit() {
    std::unique_lock lock(modelMutex_);
    editing_ = true;
    editGeneration_.fetch_add(1, std::memory_order_acq_rel);
}

void COPCServer::EndModelEdit() {
    {
        std::unique_lock lock(modelMutex_);
        editing_ = false;
        editGeneration_.fetch_add(1, std::memory_order_acq_rel);
    }
    editEnded_.notify_all();
}

bool COPCServer::ModelEditing() const {
    std::shared_lock lock(modelMutex_);
    return editing_;
}

void COPCServer::SetEventSink(EventSink sink) {
    std::lock_guard lock(sinkMutex_);
    sink_ = std::move(sink);
}

void COPCServer::SetListenSink(ListenSink sink) {
    std::lock_guard lock(sinkMutex_);
    listenSink_ = std::move(sink);
}

void COPCServer::GBOnListenStateChanged(const ua::ListenState& state) {
    std::lock_guard lock(sinkMutex_);
    if (listenSink_) listenSink_(state);
}

void COPCServer::Log(const QString& line) {
    std::lock_guard lock(sinkMutex_);
    if (sink_) sink_(line);
}

bool COPCServer::InUse() const {
    return instanceCount_.load(std::memory_order_seq_cst) != 0 ||
           lockCount_.load(std::memory_order_seq_cst) != 0;
}

int COPCServer::ItemCount() const {
    return ItemsCreated() ? itemCount_ : 0;
}

uint32_t COPCServer::ItemHandle(int itemNumber) const {
    if (!ItemsCreated() || itemNumber < 0 || itemNumber >= itemCount_) return 0;
    return handles_[itemNumber];
}

bool COPCServer::DecodeItemNumber(int32_t field, int k, int* n) const {
    return bindings_.Decode(field, k, n);
}

int COPCServer::SlotItemNumber(const TDevice& d, int k) const {
    if (!ItemsCreated() || k < 0 || k >= kParamsPerDevice || !((LoadMask(d) >> k) & 1u)) return -1;
    int n = -1;
    return DecodeItemNumber(LoadItemNumber(d, k), k, &n) ? n : -1;
}

// "Адаптер_1(COM1)": how a connection point is named in item IDs and in the address space.
std::u16string COPCServer::PointDisplayName(const TConfigModel& model, int point) {
    const TConnectionPoint& p = model.points[point];
    std::u16string name(NameView(p.name, kNameUnits));
    name += u'(';
    // Port names are ASCII in practice; any other byte is taken as UTF-8, as the system's
    // narrow texts are here.
    name += Utf8ToUtf16(PortNameView(p.portName));
    name += u')';
    return name;
}

// "Устройство(T №5)": how a device is named in item IDs and in the address space.
std::u16string COPCServer::DeviceDisplayName(const TConfigModel& model, int point, int device) {
    const TDevice& d = model.points[point].devices[device];
    std::u16string name(NameView(d.name, kNameUnits));
    name += u'(';
    if (d.typeIndex < kMaxDeviceTypes) name += NameView(model.typeNames[d.typeIndex], kCatalogUnits);
    name += u" \u2116";
    AppendDecimal(name, d.address);
    name += u')';
    return name;
}

std::u16string COPCServer::BuildItemId(const TConfigModel& model, int point, int device, int k) {
    std::u16string id;
    id.reserve(2 * kMaxItemIdUnits);
    id += PointDisplayName(model, point);
    id += u'.';
    id += DeviceDisplayName(model, point, device);
    id += u'.';
    id += NameView(model.paramNames[k], kCatalogUnits);
    if (id.size() > size_t(kMaxItemIdUnits)) {
        size_t n = kMaxItemIdUnits;
        if (id[n - 1] >= 0xD800 && id[n - 1] <= 0xDBFF) --n;
        id.resize(n);
    }
    return id;
}

void COPCServer::InitializeOPC(TConfigModel& model) {
    if (initStarted_.exchange(true)) return;
    {
        // The window thread may already poll; it must not move records while the numbers go in.
        // A change it has begun (BeginModelEdit, a dialog between StopPolling and StartPolling) is
        // given time to end. The bracket can stay open indefinitely (a new configuration without
        // changes yet), and the exit waits for this thread, so the wait is bounded; the start
        // then goes on. Only a record write at that very moment would overlap it, and the start
        // runs before the window thread's first event in practice.
        std::unique_lock lock(modelMutex_);
        editEnded_.wait_for(lock, std::chrono::seconds(2), [this] { return !editing_; });
        GBInitialize(kClsid, kInitNumbers[0], kInitNumbers[1], kInitNumbers[2], kInitNumbers[3],
                     kInitNumbers[4], kInitNumbers[5], kInitNumbers[6], kInitVendor);

        int count = 0;
        for (int p = 0; p < model.pointCount && p < kMaxPoints; ++p) {
            const TConnectionPoint& pt = model.points[p];
            for (int d = 0; d < pt.deviceCount && d < kMaxDevicesPerPoint; ++d)
                count += __builtin_popcount(LoadMask(pt.devices[d]));
        }
        if (count > kMaxItems) count = kMaxItems;
        bindings_.Reset(count);
        verifyServed_.assign(size_t(count), 0);
        pushSeen_.assign(size_t(count), 0);

        const VARIANT initial = MakeVariantR4(0.0f);
        uint32_t firstHandle = 0xFFFFFFFFu, lastHandle = 0;
        // One table entry per distinct unit and range; each item refers to its entry.
        std::vector<ua::ItemMetadata> table;
        auto metadataIndex = [&](int type, int k) -> uint16_t {
            if (type < 0 || type >= kMaxDeviceTypes) return 0;
            const TParamMetadata& m = metadata_.At(type, k);
            if (m.unit.empty() && !m.hasRange) return 0;
            ua::ItemMetadata entry{m.unit, m.hasRange, m.low, m.high};
            auto it = std::find(table.begin(), table.end(), entry);
            if (it == table.end()) it = table.insert(table.end(), std::move(entry));
            return static_cast<uint16_t>(it - table.begin() + 1);
        };
        for (int p = 0; p < model.pointCount && p < kMaxPoints; ++p)
            for (int d = 0; d < model.points[p].deviceCount && d < kMaxDevicesPerPoint; ++d)
                for (int k = 0; k < kParamsPerDevice; ++k)
                    metadataIndex(model.points[p].devices[d].typeIndex, k);
        GBSetItemMetadata(table);
        // Each item hangs under its device in the address space.
        GBItemPlacement placement;
        std::u16string pointName, deviceName;
        int n = 0;
        for (int p = 0; p < model.pointCount && p < kMaxPoints; ++p) {
            TConnectionPoint& pt = model.points[p];
            for (int d = 0; d < pt.deviceCount && d < kMaxDevicesPerPoint; ++d) {
                TDevice& dev = pt.devices[d];
                const uint32_t mask = LoadMask(dev);
                for (int k = 0; k < kParamsPerDevice; ++k) {
                    if (!((mask >> k) & 1u) || n >= count) {
                        // No item: clear what a file or an earlier run left in the field.
                        StoreItemNumber(dev, k, 0);
                        continue;
                    }
                    const std::u16string id = BuildItemId(model, p, d, k);
                    if (placement.point != p || placement.device != d) {
                        pointName = PointDisplayName(model, p);
                        deviceName = DeviceDisplayName(model, p, d);
                        placement = {p, d, pointName.c_str(), deviceName.c_str(), 0};
                    }
                    placement.metadata = metadataIndex(dev.typeIndex, k);
                    uint32_t handle = 0;
                    GBCreateItem(&handle, n, id.c_str(), OPC_READABLE, 0, &initial, OPC_NOENUM, nullptr,
                                 &placement);
                    handles_[n] = handle;
                    bindings_.SetCreatedSlot(n, k);
                    bindings_.Place(n, p, d, k);
                    if (handle != 0) {
                        firstHandle = std::min(firstHandle, handle);
                        lastHandle = std::max(lastHandle, handle);
                    }
                    StoreItemNumber(dev, k, EncodeItemNumber(n));
                    itemsById_.push_back({IdHash(id), n});
                    ++n;
                }
            }
        }
        itemCount_ = n;
        if (firstHandle <= lastHandle) {
            firstHandle_ = firstHandle;
            itemOfHandle_.assign(size_t(lastHandle - firstHandle) + 1, -1);
            for (int i = 0; i < n; ++i)
                if (handles_[i] != 0) itemOfHandle_[handles_[i] - firstHandle] = i;
        }
        std::sort(itemsById_.begin(), itemsById_.end());
        itemsById_.shrink_to_fit();
        model_ = &model;
        bindings_.SetVerifiedAt(editGeneration_.load());
        itemsReady_.store(true, std::memory_order_release);
    }
    GBBeginUpdate();
    GBEndUpdate(GB_END_UPDATE_ONE_OFF);
    GBRegisterClassObject();
#ifdef __GLIBC__
    // Building the namespace copies every item ID a few times over; those copies are freed by
    // now but their pages stay with the allocator, scattered among what is kept. Give them back.
    malloc_trim(0);
#endif
}

void COPCServer::PushAll(const TConfigModel& model) {
    if (!itemsReady_.load(std::memory_order_acquire) || &model != model_) return;
    GBBeginUpdate();
    // After an edit (or during one) the records may no longer describe the items they carry.
    const bool editing = ModelEditing();
    if (editing || bindings_.VerifiedAt() != editGeneration_.load(std::memory_order_acquire))
        VerifyBindings(model, !editing);
    // A change made outside the edit brackets shows as a slot or an item out of place.
    const uint64_t now = NowFileTime();  // one time for the whole push
    if (!PushSlots(model, FILETIME::FromU64(now))) {
        VerifyBindings(model, false);
        PushSlots(model, FILETIME::FromU64(now));
    }
    GBEndUpdate(GB_END_UPDATE_PUSH);
    Report(now, true);
}

void COPCServer::CheckItems(const TConfigModel& model) {
    if (!itemsReady_.load(std::memory_order_acquire) || &model != model_) return;
    GBBeginUpdate();
    VerifyBindings(model, !ModelEditing());
    GBEndUpdate(GB_END_UPDATE_PUSH);
    Report(NowFileTime(), false);
}

void COPCServer::AddPushObserver(IPushObserver* observer) {
    if (observer && std::find(observers_.begin(), observers_.end(), observer) == observers_.end())
        observers_.push_back(observer);
}

void COPCServer::RemovePushObserver(IPushObserver* observer) {
    observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
}

bool COPCServer::ItemLocation(int n, int* point, int* device, int* slot) const {
    if (!ItemsCreated() || n < 0 || n >= itemCount_ || bindings_.Orphaned(n)) return false;
    const uint32_t loc = bindings_.Packed(n);
    if (loc == TItemBindings::kNoLocation) return false;
    const TItemBindings::Location l = TItemBindings::Unpack(loc);
    *point = l.point;
    *device = l.device;
    *slot = l.slot;
    return true;
}

std::string_view COPCServer::ItemIdUtf8(int n) const {
    if (!ItemsCreated() || n < 0 || n >= itemCount_) return {};
    return GBItemIdUtf8(handles_[n]);  // the toolkit's copy, which never moves
}

void COPCServer::Report(uint64_t fileTime, bool withSlots) {
    if (observers_.empty()) return;
    // What each item had at its last report: kept only once someone observes the pushes.
    if (reportedFlags_.size() != size_t(itemCount_)) {
        reportedBits_.assign(size_t(itemCount_), 0);
        reportedQuality_.assign(size_t(itemCount_), 0);
        reportedFlags_.assign(size_t(itemCount_), 0);
    }
    orphansScratch_.clear();
    // Orphaned since the last report (by this push, an item check, or a client's read).
    for (int n = 0; n < itemCount_; ++n) {
        uint8_t& f = reportedFlags_[size_t(n)];
        const bool orphaned = bindings_.Orphaned(n);
        if ((f & kReportedOrphan) && !orphaned) {
            // Served again by a slot: its next value goes out whatever it was before the loss,
            // and a later loss is reported again.
            f &= uint8_t(~(kReportedOrphan | kReportedValue));
            continue;
        }
        if ((f & kReportedOrphan) || !orphaned) continue;
        f |= kReportedOrphan;
        orphansScratch_.push_back({n, handles_[n], kNoValue, kQualityNotConnected, true});
    }
    // The report is pushedSlots_ itself (the largest configuration's report is megabytes; no
    // copy of it is kept): the push's items, with the new orphans put in front of them.
    if (withSlots) {
        for (TPushedItem& it : pushedSlots_) {
            const size_t i = size_t(it.item);
            const uint32_t bits = std::bit_cast<uint32_t>(it.value);
            it.changed = !(reportedFlags_[i] & kReportedValue) || reportedBits_[i] != bits ||
                         reportedQuality_[i] != it.quality;
            reportedFlags_[i] |= kReportedValue;
            reportedBits_[i] = bits;
            reportedQuality_[i] = it.quality;
        }
    } else {
        pushedSlots_.clear();
        if (orphansScratch_.empty()) return;
    }
    pushedSlots_.insert(pushedSlots_.begin(), orphansScratch_.begin(), orphansScratch_.end());
    const TPushReport report{fileTime, pushedSlots_};
    for (IPushObserver* o : observers_) o->Pushed(*this, report);
}

bool COPCServer::ItemOrphaned(int itemNumber) const {
    if (!ItemsCreated() || itemNumber < 0 || itemNumber >= itemCount_) return false;
    return bindings_.Orphaned(itemNumber) != 0;
}

bool COPCServer::PushSlots(const TConfigModel& m, FILETIME now) {
    std::fill(pushSeen_.begin(), pushSeen_.end(), uint8_t{0});
    pushedSlots_.clear();
    // Reports are built only for observers, and then hold every item: room for all at once.
    if (!observers_.empty()) pushedSlots_.reserve(size_t(itemCount_));
    bool inPlace = true;
    VARIANT v = MakeVariantR4(0.0f);
    // Written straight into the toolkit's store under one hold of its lock: the largest push
    // would otherwise stage a copy of every item.
    GBSetItems(now, [&](gb::GBItemWriter& writer) {
        ForEachItemSlot(m, [&](int p, int d, int k, int n) {
            if (bindings_.Orphaned(n)) return;
            if (bindings_.Packed(n) != TItemBindings::Pack(p, d, k)) {
                inPlace = false;
                return;
            }
            pushSeen_[size_t(n)] = 1;
            const TDevice& dev = m.points[p].devices[d];
            v.fltVal = LoadValue(dev, k);
            const uint16_t quality = LoadQuality(dev, k);
            writer.Set(handles_[n], v, quality);
            if (!observers_.empty()) pushedSlots_.push_back({n, handles_[n], v.fltVal, quality, false});
        });
    });
    for (int n = 0; n < itemCount_ && inPlace; ++n)
        if (!pushSeen_[size_t(n)] && !bindings_.Orphaned(n)) inPlace = false;
    return inPlace;
}

int COPCServer::FindItemById(const std::u16string& id, int k) const {
    const uint32_t hash = IdHash(id);
    for (auto it = std::lower_bound(itemsById_.begin(), itemsById_.end(),
                                    std::pair<uint32_t, int32_t>{hash, INT32_MIN});
         it != itemsById_.end() && it->first == hash; ++it) {
        const int n = it->second;
        if (!verifyServed_[size_t(n)] && bindings_.CreatedSlot(n) == k && GBItemIdIs(handles_[n], id))
            return n;
    }
    return -1;
}

void COPCServer::VerifyBindings(const TConfigModel& m, bool stamp) {
    std::lock_guard lock(verifyMutex_);
    const uint64_t generation = editGeneration_.load(std::memory_order_acquire);
    std::fill(verifyServed_.begin(), verifyServed_.end(), uint8_t{0});
    ForEachItemSlot(m, [&](int p, int d, int k, int n) {
        if (verifyServed_[size_t(n)]) return;
        // Moved to another point, renamed, readdressed: the item's ID names another slot.
        if (!GBItemIdIs(handles_[n], BuildItemId(m, p, d, k))) return;
        verifyServed_[size_t(n)] = 1;
        bindings_.Place(n, p, d, k);
    });
    // Slots that serve no item: loaded from a file, added after the start, or carrying an item
    // whose ID they no longer describe (or that another slot serves). The records do not move
    // meanwhile (see above), and verifyMutex_ makes this the only writer of item number fields.
    int unserved = 0;
    for (int p = 0; p < m.pointCount && p < kMaxPoints; ++p) {
        const TConnectionPoint& pt = m.points[p];
        for (int d = 0; d < pt.deviceCount && d < kMaxDevicesPerPoint; ++d) {
            TDevice& dev = model_->points[p].devices[d];
            const uint32_t mask = LoadMask(dev);
            for (int k = 0; k < kParamsPerDevice; ++k) {
                if (!((mask >> k) & 1u)) continue;
                int n;
                if (DecodeItemNumber(LoadItemNumber(dev, k), k, &n) && verifyServed_[size_t(n)] &&
                    bindings_.Packed(n) == TItemBindings::Pack(p, d, k))
                    continue;
                n = FindItemById(BuildItemId(m, p, d, k), k);
                if (n < 0) {
                    ++unserved;
                    continue;
                }
                StoreItemNumber(dev, k, EncodeItemNumber(n));
                verifyServed_[size_t(n)] = 1;
                bindings_.Place(n, p, d, k);
            }
        }
    }
    int orphans = 0;
    for (int n = 0; n < itemCount_; ++n) {
        if (verifyServed_[size_t(n)]) {
            // Served again: the next push publishes the slot's value.
            bindings_.ClearOrphan(n);
        } else {
            Orphan(n);
            ++orphans;
        }
    }
    if (stamp) bindings_.SetVerifiedAt(generation);
    if (unserved == reportedUnserved_ && orphans == reportedOrphans_) return;
    reportedUnserved_ = unserved;
    reportedOrphans_ = orphans;
    if (unserved == 0 && orphans == 0) {
        Log(QStringLiteral("Элементы OPC снова совпадают с конфигурацией в окне."));
        return;
    }
    Log(QStringLiteral(
            "Элементы OPC отличаются от конфигурации в окне (параметров без элемента: %1, элементов "
            "без параметра: %2): клиенты видят конфигурацию запуска до перезапуска "
            "(«Перезапуск»).")
            .arg(unserved)
            .arg(orphans));
}

void COPCServer::Orphan(int n) {
    if (!bindings_.MarkOrphaned(n)) return;
    const VARIANT v = MakeVariantR4(kNoValue);
    GBSetItem(handles_[n], &v, kQualityNotConnected, FILETIME::FromU64(NowFileTime()), 0);
}

void COPCServer::ShutdownOPC(const char16_t* reason) {
    GBShutdown(reason);
    GBDisconnectClients();
    GBRevokeClassObject();
}

const TDevice* COPCServer::CheckLocation(const TConfigModel& m, int n, uint32_t loc) const {
    if (loc == TItemBindings::kNoLocation) return nullptr;
    const auto [p, d, k] = TItemBindings::Unpack(loc);
    if (p >= m.pointCount || p >= kMaxPoints) return nullptr;
    const TConnectionPoint& pt = m.points[p];
    if (d >= pt.deviceCount || d >= kMaxDevicesPerPoint) return nullptr;
    const TDevice& dev = pt.devices[d];
    if (!((LoadMask(dev) >> k) & 1u)) return nullptr;
    int found;
    if (!DecodeItemNumber(LoadItemNumber(dev, k), k, &found) || found != n) return nullptr;
    return &dev;
}

const TDevice* COPCServer::FindSlot(const TConfigModel& m, int n) {
    if (bindings_.VerifiedAt() != editGeneration_.load(std::memory_order_acquire)) VerifyBindings(m, true);
    if (bindings_.Orphaned(n)) return nullptr;
    if (const TDevice* dev = CheckLocation(m, n, bindings_.Packed(n))) return dev;
    // Not where the last verification left it: a change outside the edit brackets.
    VerifyBindings(m, false);
    if (bindings_.Orphaned(n)) return nullptr;
    return CheckLocation(m, n, bindings_.Packed(n));
}

HRESULT COPCServer::GBOnBeforeCreateInstance(int32_t, void*) {
    Log(QStringLiteral("GBOnBeforeCreateInstance"));
    return S_OK;
}

void COPCServer::GBOnCreateInstance(void*) {
    Log(QStringLiteral("GBOnCreateInstance"));
    instanceCount_.fetch_add(1);
}

void COPCServer::GBOnDestroyInstance(void*) {
    Log(QStringLiteral("GBOnDestroyInstance"));
    instanceCount_.fetch_sub(1);
}

void COPCServer::GBOnLock() {
    Log(QStringLiteral("GBOnLock"));
    lockCount_.fetch_add(1);
}

void COPCServer::GBOnUnLock() {
    Log(QStringLiteral("GBOnUnLock"));
    lockCount_.fetch_sub(1);
}

HRESULT COPCServer::GBOnServerReleased() {
    Log(QStringLiteral("GBOnServerReleased"));
    return S_OK;
}

HRESULT COPCServer::GBOnWriteItems(uint32_t, GBItemID*, VARIANT*, uint16_t*, FILETIME*, HRESULT*, void*,
                                   void*, void*) {
    Log(QStringLiteral("GBOnWriteItems"));
    return GB_WRITE_ACCEPTED;  // nothing reaches a slot or an instrument
}

HRESULT COPCServer::GBOnReadItems(uint32_t count, GBItemID* items, VARIANT* values, uint16_t* qualities,
                                  FILETIME* timestamps, HRESULT* errors, void*, void*, void*, void*, void*) {
    Log(QStringLiteral("GBOnReadItems"));
    const HRESULT result = values ? GB_READ_VALUES_FILLED : GB_READ_CACHE_UPDATED;
    if (!items || !itemsReady_.load(std::memory_order_acquire)) return result;
    const TConfigModel& m = *model_;

    std::shared_lock lock(modelMutex_);
    const bool editing = editing_;
    // One reading time for the whole call.
    const FILETIME now = FILETIME::FromU64(NowFileTime());
    if (!values) GBBeginUpdate();
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t h = items[i].hItem;
        if (h == 0) continue;
        const int n = ItemOfHandle(h);
        if (n < 0) continue;
        // An item whose slot is gone answers "not connected" with the no-value marker.
        float value = kNoValue;
        uint16_t quality = kQualityNotConnected;
        // An orphan may have been described again by the last change: its next verification
        // tells.
        const bool stale = bindings_.VerifiedAt() != editGeneration_.load(std::memory_order_acquire);
        if (!bindings_.Orphaned(n) || (stale && !editing)) {
            // Records being changed: the toolkit answers from its cache meanwhile.
            if (editing) continue;
            if (const TDevice* dev = FindSlot(m, n)) {
                const int k = bindings_.CreatedSlot(n);
                value = LoadValue(*dev, k);
                quality = LoadQuality(*dev, k);
            }
        }
        if (!values) {
            const VARIANT v = MakeVariantR4(value);
            GBSetItem(h, &v, quality, now, 0);
            continue;
        }
        values[i].vt = VT_R4;
        values[i].fltVal = value;
        if (qualities) qualities[i] = quality;
        if (timestamps) timestamps[i] = now;
        if (errors) errors[i] = S_OK;
    }
    if (!values) GBEndUpdate(GB_END_UPDATE_ONE_OFF);
    return result;
}

void COPCServer::GBOnActivate(uint32_t, GBItemID*) {
    Log(QStringLiteral("GBOnActivate"));
}

void COPCServer::GBOnDeactivate(uint32_t, GBItemID*) {
    Log(QStringLiteral("GBOnDeactivate"));
}

HRESULT COPCServer::GBOnQueryLocales(uint32_t* count, const uint32_t** table) {
    if (count) *count = kLocaleCount;
    if (table) *table = kLocales;
    return S_OK;
}

HRESULT COPCServer::RegisterServer(const char16_t* executable, std::vector<GBFileFailure>* failures) {
    return GBRegisterServer(kClsid, kRegistrationVendor, kDescription, kProgId, kRegistrationVersion,
                            executable, failures);
}

HRESULT COPCServer::UnregisterServer(std::vector<GBFileFailure>* failures) {
    return GBUnregisterServer(kClsid, failures);
}

}  // namespace qora
