// The add, edit and delete operations of the main window, over an abstract set of
// dialogs so that tests can answer them without widgets.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "config/records.h"
#include "ui/dialog_logic.h"

namespace qora {

// What the point dialog shows and, when confirmed, what the operator entered.
struct TPointDialogData {
    QString caption;
    QString name;
    QStringList ports;
    int portIndex = -1;
    QString periodText;
    bool active = true;
    // Set by a confirmed dialog.
    float period = 0.0f;
};

// What the device dialog shows and returns.
struct TDeviceDialogData {
    QString caption;
    QString name;
    QStringList points;  // "name (port)", one per point in array order
    int pointIndex = 0;
    QStringList types;  // catalogue order
    std::vector<uint32_t> typeMasks;
    int typeIndex = -1;      // -1: no type selected
    QStringList paramNames;  // 32 entries
    bool editing = false;
    uint32_t paramMask = 0;  // editing: the device's mask; confirmed: the ticked boxes
    int editedPoint = 0;     // the model's edited device point and address
    int editedAddress = 0;
    const TConfigModel* model = nullptr;  // for the address lists
    // Set by a confirmed dialog.
    int address = 0;
};

class IEditDialogs {
  public:
    virtual ~IEditDialogs() = default;
    // The type selection; false when cancelled. `selected` is in/out.
    virtual bool ChooseKind(const QStringList& entries, int& selected) = 0;
    virtual bool RunPointDialog(TPointDialogData& data) = 0;
    virtual bool RunDeviceDialog(TDeviceDialogData& data) = 0;
    virtual void Message(const QString& text) = 0;
    virtual bool Question(const QString& text) = 0;
};

struct TEditHooks {
    std::function<void()> stopPolling;
    std::function<void()> startPolling;
    std::function<void(int, int)> rebuildTree;  // point, device (-1: none)
    std::function<void()> clearList;
    // After a successful change: unsaved flag, Restart enabled, UpdateCaption.
    std::function<void()> changed;
};

class TEditOperations {
  public:
    // portTable: the names of the serial port table, in table order.
    TEditOperations(TConfigModel& model, std::function<std::vector<std::string>()> portTable,
                    IEditDialogs& dialogs, TEditHooks hooks);

    // `selected`: the selected tree node; nodeCaption: its caption as shown in the tree.
    void DevAddExecute(TNodeRef selected);
    void DevEditExecute(TNodeRef selected);
    void DevDeleteExecute(TNodeRef selected, const QString& nodeCaption);

  private:
    void AddPoint();
    void AddDevice(int defaultPoint);
    void EditPoint(int p);
    void EditDevice(int p, int k);
    void FillDeviceLists(TDeviceDialogData& data) const;

    TConfigModel& m_;
    std::function<std::vector<std::string>()> portTable_;
    IEditDialogs& dialogs_;
    TEditHooks hooks_;
};

}  // namespace qora
