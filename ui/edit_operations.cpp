#include "ui/edit_operations.h"

#include <algorithm>

#include "ui/cell_format.h"
#include "ui/ui_texts.h"

namespace qora {

namespace {

// Runs StopPolling now and StartPolling on every way out of the scope.
class TPollingPause {
  public:
    explicit TPollingPause(const TEditHooks& h) : h_(h) {
        if (h_.stopPolling) h_.stopPolling();
    }
    ~TPollingPause() {
        if (h_.startPolling) h_.startPolling();
    }
    TPollingPause(const TPollingPause&) = delete;
    TPollingPause& operator=(const TPollingPause&) = delete;

  private:
    const TEditHooks& h_;
};

std::u16string ToU16(const QString& s) {
    return s.toStdU16String();
}
std::string ToPort(const QString& s) {
    return s.toLocal8Bit().toStdString();
}

}  // namespace

TEditOperations::TEditOperations(TConfigModel& model, std::function<std::vector<std::string>()> portTable,
                                 IEditDialogs& dialogs, TEditHooks hooks)
    : m_(model), portTable_(std::move(portTable)), dialogs_(dialogs), hooks_(std::move(hooks)) {}

void TEditOperations::DevAddExecute(TNodeRef selected) {
    TPollingPause pause(hooks_);
    TKindChoice choice = MakeKindChoice(m_.pointCount, selected);
    int chosen = choice.selected;
    if (!dialogs_.ChooseKind(choice.entries, chosen)) return;
    if (chosen < 0 || chosen >= choice.entries.size()) return;
    if (choice.entries.at(chosen) == texts::kKindPoint) {
        AddPoint();
    } else {
        AddDevice(choice.defaultPoint);
    }
}

void TEditOperations::AddPoint() {
    if (m_.pointCount >= kMaxPoints) {
        dialogs_.Message(texts::kMsgTooManyPoints);
        return;
    }
    TPointDialogData data;
    data.caption = texts::kCaptionAddPoint;
    data.name = DefaultPointName(m_.pointCount);
    data.ports = FreePorts(m_, portTable_ ? portTable_() : std::vector<std::string>{});
    if (data.ports.isEmpty()) {
        dialogs_.Message(texts::kMsgNoFreePorts);
        return;
    }
    data.portIndex = 0;
    data.periodText = DefaultPeriodText();
    data.active = true;
    if (!dialogs_.RunPointDialog(data)) return;
    const QString port =
        data.portIndex >= 0 && data.portIndex < data.ports.size() ? data.ports.at(data.portIndex) : QString();
    const int n = m_.pointCount;
    if (AppendPoint(m_, ToU16(data.name), ToPort(port), data.period, data.active) != ModelResult::Ok) {
        dialogs_.Message(texts::kMsgTooManyPoints);
        return;
    }
    if (hooks_.rebuildTree) hooks_.rebuildTree(n, -1);
    if (hooks_.changed) hooks_.changed();
}

void TEditOperations::FillDeviceLists(TDeviceDialogData& data) const {
    data.points = PointEntries(m_);
    data.types = TypeEntries(m_);
    data.typeMasks.assign(m_.typeMasks, m_.typeMasks + TypeCount(m_));
    data.paramNames.clear();
    for (int n = 0; n < kParamsPerDevice; ++n) data.paramNames << ParamName(m_, n);
    data.model = &m_;
}

void TEditOperations::AddDevice(int defaultPoint) {
    if (TypeCount(m_) == 0) {
        dialogs_.Message(texts::kMsgEmptyCatalogue);
        return;
    }
    TDeviceDialogData data;
    data.caption = texts::kCaptionAddDevice;
    data.name = texts::kDefaultDeviceName;
    FillDeviceLists(data);
    data.pointIndex = std::clamp(defaultPoint, 0, std::max(0, m_.pointCount - 1));
    data.typeIndex = 0;
    data.editing = false;
    data.editedPoint = m_.editedDevicePoint;
    data.editedAddress = m_.editedDeviceAddress;
    if (!dialogs_.RunDeviceDialog(data)) return;
    const int p = data.pointIndex;
    if (p < 0 || p >= m_.pointCount || data.typeIndex < 0) return;
    if (m_.points[p].deviceCount >= kMaxDevicesPerPoint) {
        dialogs_.Message(texts::kMsgTooManyDevices);
        return;
    }
    const int k = m_.points[p].deviceCount;
    if (AppendDevice(m_, p, ToU16(data.name), static_cast<uint8_t>(data.typeIndex),
                     static_cast<uint8_t>(data.address), data.paramMask) != ModelResult::Ok)
        return;
    if (hooks_.rebuildTree) hooks_.rebuildTree(p, k);
    if (hooks_.changed) hooks_.changed();
}

void TEditOperations::DevEditExecute(TNodeRef selected) {
    TPollingPause pause(hooks_);
    if (selected.point < 0 || selected.point >= m_.pointCount) return;
    if (selected.device < 0) {
        EditPoint(selected.point);
    } else if (selected.device < m_.points[selected.point].deviceCount) {
        EditDevice(selected.point, selected.device);
    }
}

void TEditOperations::EditPoint(int p) {
    const TConnectionPoint& point = m_.points[p];
    TPointDialogData data;
    data.caption = texts::kCaptionEditPoint;
    data.name = FromName(point.name);
    data.ports = FreePorts(m_, portTable_ ? portTable_() : std::vector<std::string>{}, point.index);
    data.portIndex = PreselectPort(data.ports, FromPortName(point.portName));
    data.periodText = PeriodText(point.pollPeriod);
    data.active = point.active != 0;
    if (!dialogs_.RunPointDialog(data)) return;
    const QString port =
        data.portIndex >= 0 && data.portIndex < data.ports.size() ? data.ports.at(data.portIndex) : QString();
    UpdatePoint(m_, p, ToU16(data.name), ToPort(port), data.period, data.active);
    if (hooks_.rebuildTree) hooks_.rebuildTree(p, -1);
    if (hooks_.changed) hooks_.changed();
}

void TEditOperations::EditDevice(int p, int k) {
    const TDevice& dev = m_.points[p].devices[k];
    TDeviceDialogData data;
    data.caption = texts::kCaptionEditDevice;
    data.name = FromName(dev.name);
    FillDeviceLists(data);
    data.pointIndex = p;
    data.typeIndex = dev.typeIndex < TypeCount(m_) ? dev.typeIndex : -1;
    data.editing = true;
    data.paramMask = LoadMask(dev);
    const uint8_t ownType = dev.typeIndex;

    // The edited address and point stay set only while the dialog is open.
    struct TEditedReset {
        TConfigModel& m;
        ~TEditedReset() {
            m.editedDeviceAddress = 0;
            m.editedDevicePoint = 0;
        }
    } reset{m_};
    m_.editedDeviceAddress = dev.address;
    m_.editedDevicePoint = static_cast<uint8_t>(p & 0xFF);
    data.editedAddress = m_.editedDeviceAddress;
    data.editedPoint = m_.editedDevicePoint;

    if (!dialogs_.RunDeviceDialog(data)) return;
    const int q = data.pointIndex;
    if (q < 0 || q >= m_.pointCount) return;
    // A device of a type outside the catalogue keeps its type unless one is chosen.
    const uint8_t type = data.typeIndex >= 0 ? static_cast<uint8_t>(data.typeIndex) : ownType;
    int slot = k;
    if (q != p) {
        if (m_.points[q].deviceCount >= kMaxDevicesPerPoint) {
            dialogs_.Message(texts::kMsgTooManyDevices);
            return;
        }
        if (MoveDevice(m_, p, k, q) != ModelResult::Ok) return;
        slot = m_.points[q].deviceCount - 1;
    }
    UpdateDevice(m_, q, slot, ToU16(data.name), type, static_cast<uint8_t>(data.address), data.paramMask);
    if (hooks_.rebuildTree) hooks_.rebuildTree(q, slot);
    if (hooks_.changed) hooks_.changed();
}

void TEditOperations::DevDeleteExecute(TNodeRef selected, const QString& nodeCaption) {
    TPollingPause pause(hooks_);
    if (selected.point < 0 || selected.point >= m_.pointCount) return;
    const bool deviceNode = selected.device >= 0;
    if (deviceNode && selected.device >= m_.points[selected.point].deviceCount) return;
    if (!dialogs_.Question(DeleteQuestion(nodeCaption))) return;
    TNodeRef next;
    if (deviceNode) {
        if (DeleteDevice(m_, selected.point, selected.device) != ModelResult::Ok) return;
        next = SelectionAfterDeviceDelete(selected.point, selected.device);
    } else {
        const TConnectionPoint& point = m_.points[selected.point];
        if (point.deviceCount != 0 &&
            !dialogs_.Question(DeletePointWithDevicesQuestion(FromName(point.name))))
            return;
        if (DeletePoint(m_, selected.point) != ModelResult::Ok) return;
        next = SelectionAfterPointDelete(selected.point);
    }
    if (hooks_.clearList) hooks_.clearList();
    if (hooks_.rebuildTree) hooks_.rebuildTree(next.point, next.device);
    if (hooks_.changed) hooks_.changed();
}

}  // namespace qora
