// The server object: publishes every selected parameter slot as a read-only OPC item.
//
// Threads: InitializeOPC runs once on TInitThread; PushAll runs on the window thread; the
// callbacks run on the toolkit's threads. Slot fields are read through the atomic_ref helpers
// of config/records.h. Operations that move or rewrite records (append, update, move, delete,
// clear, load) run on the window thread between BeginModelEdit and EndModelEdit: the
// composition root ties the bracket to the poll cycle's "polling stopped/started", and
// StopPolling ... StartPolling surrounds every such change. Reads that arrive meanwhile leave the
// records alone and the toolkit answers them from its cache, so a read never sees a record half
// copied, and the OPC start never reads a record being changed.
//
// Item numbers: the OPC start writes into the record's item number field the item's number
// combined with a marker of this run (EncodeItemNumber). Slots whose field does not carry this
// run's marker (added after the start, loaded from a file, a fresh record) have no item and
// are neither pushed nor read.
//
// Orphaned items: an item is served by the slot that carries its number and whose item ID,
// computed from the records as they are now, is still the ID the item was created with. An item
// that no slot serves any more (its device deleted or moved to another point, renamed or
// readdressed, the configuration replaced by a new or opened one) is orphaned: it is published
// once with quality 8 and the no-value marker, and reads of it answer the same. A slot that
// carries no item of this run but whose ID is that of an item no other slot serves (the same
// file opened again after Создать, a device added back as it was) takes the item's number on
// its next verification, and the item is served again. The namespace itself changes only with a
// restart; when the records describe slots it has no items for, or leave items orphaned, the
// event log says so once per change.
#pragma once

#include <QString>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include "config/records.h"
#include "config/settings.h"
#include "opc/item_bindings.h"
#include "opc/push_observer.h"
#include "opc/toolkit/gb_data_access.h"

namespace qora {

class COPCServer : public gb::GBDataAccess {
  public:
    // Receives the event-log line of each callback, on the toolkit's thread that called it;
    // the window queues it to its own thread.
    using EventSink = std::function<void(const QString&)>;
    // Receives whether the OPC UA endpoint listens (GBOnListenStateChanged), on the toolkit's
    // thread.
    using ListenSink = std::function<void(const ua::ListenState&)>;

    static constexpr gb::GUID kClsid{
        0x6F1C0B52u, 0x9A3Eu, 0x4D71u, {0x8E, 0x25, 0xB4, 0xC7, 0xD9, 0x0A, 0x1F, 0x36}};
    static constexpr const char16_t* kProgId = u"QORA.OPC";
    static constexpr const char16_t* kRegistrationVendor = u"KIVRAN";
    static constexpr const char16_t* kDescription = u"QORA OPC Server";
    static constexpr const char16_t* kRegistrationVersion = u"1";
    static constexpr const char16_t* kInitVendor = u"Kivran";
    // The seven numbers the OPC start passes to GBInitialize, in order. The toolkit keeps them
    // (Impl::InitNumbers) and gives them no meaning.
    static constexpr std::array<uint32_t, 7> kInitNumbers{125, 0, 8, 4000, 1, 0, 0};
    static constexpr const char16_t* kShutdownReason = u"Работа сервера завершена пользователем.";
    // One handle entry per possible slot: no selected parameter is ever left without an item.
    static constexpr int kMaxItems = kMaxPoints * kMaxDevicesPerPoint * kParamsPerDevice;
    static constexpr int kMaxItemIdUnits = 255;
    static constexpr int kLocaleCount = 7;
    static const uint32_t kLocales[kLocaleCount];

    COPCServer();
    // Stops the endpoint first, so no callback runs into a half-destroyed server.
    ~COPCServer() override;

    void SetEventSink(EventSink sink);
    void SetListenSink(ListenSink sink);
    // Units and ranges of the items (before InitializeOPC): each item takes its device type's
    // entry for its parameter.
    void SetItemMetadata(TItemMetadataCatalogue catalogue) { metadata_ = std::move(catalogue); }
    const TItemMetadataCatalogue& ItemMetadata() const { return metadata_; }

    // The OPC start (once per run; later calls do nothing): GBInitialize, one item per
    // selected slot in point, device, slot order, item numbers into the records, an empty
    // update block, GBRegisterClassObject. The model must outlive the server's endpoint.
    void InitializeOPC(TConfigModel& model);
    // The periodic push (window thread): one update block with one GBSetItem per slot that has
    // an item of this run, all with one timestamp; then the observers get what was set. Does
    // nothing until InitializeOPC has created the items.
    void PushAll(const TConfigModel& model);
    // Finds the items whose slots are gone and publishes them once as orphaned (window thread);
    // the observers are told of those. The push does this itself; while polling is stopped (and
    // the push with it) the owner calls it so that clients learn of a replaced configuration
    // without waiting for the next change.
    void CheckItems(const TConfigModel& model);
    // Observers of the push (window thread; the observer outlives its registration).
    void AddPushObserver(IPushObserver* observer);
    void RemovePushObserver(IPushObserver* observer);
    // Where item n's slot lay at the last verification; false for an orphaned or unknown item.
    bool ItemLocation(int itemNumber, int* point, int* device, int* slot) const;
    // Item n's ID as the toolkit keeps it (UTF-8); empty for an unknown item.
    std::string_view ItemIdUtf8(int itemNumber) const;
    // True once item n has lost its slot in this run.
    bool ItemOrphaned(int itemNumber) const;
    // The shutdown sequence of the exit: GBShutdown(reason) first so that clients are told the
    // reason before GBDisconnectClients drops them, then GBRevokeClassObject.
    void ShutdownOPC(const char16_t* reason = kShutdownReason);

    // In use: instance count not 0, or else lock count not 0.
    bool InUse() const;
    int32_t InstanceCount() const { return instanceCount_.load(); }
    int32_t LockCount() const { return lockCount_.load(); }

    // Non-blocking bracket around a series of changes (see the top of this file). Begin waits
    // only for reads in progress; calls need not pair up (a second Begin is harmless, End ends).
    void BeginModelEdit();
    void EndModelEdit();
    bool ModelEditing() const;

    bool ItemsCreated() const { return itemsReady_.load(std::memory_order_acquire); }
    int ItemCount() const;                      // 0 until the items exist
    uint32_t ItemHandle(int itemNumber) const;  // 0 for a number without an item
    // The item number of slot k of d in this run, or -1 when the slot has no item.
    int SlotItemNumber(const TDevice& d, int k) const;
    // Calls f(point, device, slot, item number) for every selected slot that carries an item
    // of this run, in point, device, slot order. The records must not change meanwhile.
    template <typename F>
    void ForEachItemSlot(const TConfigModel& m, F&& f) const {
        for (int p = 0; p < m.pointCount && p < kMaxPoints; ++p) {
            const TConnectionPoint& pt = m.points[p];
            for (int d = 0; d < pt.deviceCount && d < kMaxDevicesPerPoint; ++d) {
                const TDevice& dev = pt.devices[d];
                const uint32_t mask = LoadMask(dev);
                for (int k = 0; k < kParamsPerDevice; ++k) {
                    int n;
                    if (((mask >> k) & 1u) && DecodeItemNumber(LoadItemNumber(dev, k), k, &n)) f(p, d, k, n);
                }
            }
        }
    }
    // The record field value for item n in this run.
    int32_t EncodeItemNumber(int n) const { return bindings_.Encode(n); }

    // "%s(%s).%s(%s №%d).%s": point name, port name, device name, type name, address, parameter
    // name; cut to kMaxItemIdUnits units (never inside a surrogate pair).
    static std::u16string BuildItemId(const TConfigModel& model, int point, int device, int k);
    // The names of a point and a device as they appear in item IDs (and in the address space).
    static std::u16string PointDisplayName(const TConfigModel& model, int point);
    static std::u16string DeviceDisplayName(const TConfigModel& model, int point, int device);

    // GBRegisterServer / GBUnregisterServer with this server's CLSID, vendor, description,
    // ProgID and version. executable: null = this process.
    static gb::HRESULT RegisterServer(const char16_t* executable = nullptr,
                                      std::vector<gb::GBFileFailure>* failures = nullptr);
    static gb::HRESULT UnregisterServer(std::vector<gb::GBFileFailure>* failures = nullptr);

    // Callbacks.
    gb::HRESULT GBOnBeforeCreateInstance(int32_t a, void* b) override;
    void GBOnCreateInstance(void* instance) override;
    void GBOnDestroyInstance(void* instance) override;
    void GBOnLock() override;
    void GBOnUnLock() override;
    gb::HRESULT GBOnServerReleased() override;
    gb::HRESULT GBOnWriteItems(uint32_t count, gb::GBItemID* items, gb::VARIANT* values, uint16_t* qualities,
                               gb::FILETIME* timestamps, gb::HRESULT* errors, void* r1, void* r2,
                               void* r3) override;
    gb::HRESULT GBOnReadItems(uint32_t count, gb::GBItemID* items, gb::VARIANT* values, uint16_t* qualities,
                              gb::FILETIME* timestamps, gb::HRESULT* errors, void* r1, void* r2, void* r3,
                              void* r4, void* r5) override;
    void GBOnActivate(uint32_t count, gb::GBItemID* items) override;
    void GBOnDeactivate(uint32_t count, gb::GBItemID* items) override;
    gb::HRESULT GBOnQueryLocales(uint32_t* count, const uint32_t** table) override;
    void GBOnListenStateChanged(const ua::ListenState& state) override;

  private:
    void Log(const QString& line);
    bool DecodeItemNumber(int32_t field, int k, int* n) const;
    // The item number of a toolkit handle, or -1.
    int ItemOfHandle(uint32_t handle) const {
        const uint32_t i = handle - firstHandle_;
        return handle >= firstHandle_ && i < itemOfHandle_.size() ? itemOfHandle_[i] : -1;
    }
    // The device holding item n, found through the location index; null when the item's slot
    // is gone (the item is then orphaned). Called with modelMutex_ held shared, outside an edit.
    const TDevice* FindSlot(const TConfigModel& m, int n);
    const TDevice* CheckLocation(const TConfigModel& m, int n, uint32_t loc) const;
    // Walks the records: each item whose number a slot carries and whose ID that slot still
    // describes gets the slot's location; every other item is orphaned. The records must not
    // change meanwhile (window thread, or modelMutex_ held shared outside an edit).
    // stamp: the records are not inside an edit, so the result holds until the next one.
    // Slots left without an item take the number of an unserved item with their ID, and a change
    // in how far the records and the namespace differ goes to the event log.
    void VerifyBindings(const TConfigModel& m, bool stamp);
    // An unserved item created for slot k with this ID, or -1.
    int FindItemById(const std::u16string& id, int k) const;
    // Marks item n orphaned; the first time, publishes quality 8 and the no-value marker.
    void Orphan(int n);
    // Pushes every slot that serves its item; false when a slot or an item was not where the
    // last verification left it (the bindings must be verified again).
    bool PushSlots(const TConfigModel& m, gb::FILETIME now);
    // The report of a push or item check to the observers (window thread). withSlots: the
    // slots PushSlots set are part of it.
    void Report(uint64_t fileTime, bool withSlots);

    std::atomic<int32_t> lockCount_{0};
    std::atomic<int32_t> instanceCount_{0};

    std::mutex sinkMutex_;
    EventSink sink_;
    ListenSink listenSink_;

    // Which slot serves each item (run marker, created slots, locations, orphans).
    TItemBindings bindings_;

    std::atomic<bool> initStarted_{false};
    std::atomic<bool> itemsReady_{false};
    // Written by InitializeOPC before itemsReady_ is set, read-only afterwards.
    std::unique_ptr<uint32_t[]> handles_;  // kMaxItems entries, item number -> toolkit handle
    // Toolkit handle - firstHandle_ -> item number (-1: none); the handles of one creation run
    // are dense.
    std::vector<int32_t> itemOfHandle_;
    uint32_t firstHandle_ = 0;
    int itemCount_ = 0;
    TItemMetadataCatalogue metadata_;
    TConfigModel* model_ = nullptr;

    // (hash of the item ID, item number), sorted (written by InitializeOPC before itemsReady_):
    // 8 bytes an item, where a hash multimap took about 40.
    std::vector<std::pair<uint32_t, int32_t>> itemsById_;
    static uint32_t IdHash(const std::u16string& id) {
        return static_cast<uint32_t>(std::hash<std::u16string>{}(id));
    }
    // What the event log was last told (guarded by verifyMutex_): slots without an item, orphans.
    int reportedUnserved_ = 0;
    int reportedOrphans_ = 0;
    std::mutex verifyMutex_;             // one verification at a time (push and reads)
    std::vector<uint8_t> verifyServed_;  // scratch of VerifyBindings, guarded by verifyMutex_
    std::vector<uint8_t> pushSeen_;      // scratch of PushSlots (window thread)
    // The push's report (window thread): observers, what each item had at its last report, and
    // the report being built.
    std::vector<IPushObserver*> observers_;
    std::vector<uint32_t> reportedBits_;
    std::vector<uint16_t> reportedQuality_;
    std::vector<uint8_t> reportedFlags_;       // kReportedValue | kReportedOrphan
    std::vector<TPushedItem> pushedSlots_;     // the push's items, then the report (see Report)
    std::vector<TPushedItem> orphansScratch_;  // items orphaned since the last report
    mutable std::shared_mutex modelMutex_;
    std::condition_variable_any editEnded_;
    bool editing_ = false;  // guarded by modelMutex_
    std::atomic<uint64_t> editGeneration_{0};
};

}  // namespace qora
