// Choices and rules of the connection point and device dialogs, free of widgets.
#pragma once

#include <QChar>
#include <QLocale>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config/records.h"

namespace qora {

// A tree node: a point (device -1) or a device of a point; point -1 for none.
struct TNodeRef {
    int point = -1;
    int device = -1;
    bool operator==(const TNodeRef&) const = default;
};

// Ports of the serial port table not used by any point other than `exceptPoint`
// (-1: not used by any point), in table order; exact comparison.
QStringList FreePorts(const TConfigModel& m, const std::vector<std::string>& portTable, int exceptPoint = -1);
// Index to preselect: the entry equal to `current`, else the first; -1 for an empty list.
int PreselectPort(const QStringList& ports, const QString& current);

// "Адаптер_<point count + 1>"
QString DefaultPointName(int pointCount);
// "name (port)" entries of the device dialog's point list.
QStringList PointEntries(const TConfigModel& m);
QStringList TypeEntries(const TConfigModel& m);
int TypeCount(const TConfigModel& m);  // bounded by the tables

// Addresses offered on `point`, and the entry to select.
struct TAddressChoice {
    std::vector<int> addresses;
    int selected = -1;  // index into addresses
};
// remembered: the address chosen before (0 for none). An address used on `point` is offered
// only when `point` is editedPoint and the address is editedAddress (the device being edited);
// that address then becomes the remembered one.
TAddressChoice FreeAddresses(const TConfigModel& m, int point, int editedPoint, int editedAddress,
                             int remembered);
// The address combo's text read as a decimal number, 0 when empty or not a number.
int ParseAddressText(const QString& text);

// What is selected after a delete.
inline TNodeRef SelectionAfterDeviceDelete(int point, int device) {
    return {point, device - 1};
}
inline TNodeRef SelectionAfterPointDelete(int point) {
    return {point - 1, -1};
}

// The type-selection choice of DevAddExecute.
struct TKindChoice {
    QStringList entries;  // "Адаптер" and, with points, "Устройство"
    int selected = 0;
    int defaultPoint = 0;
};
TKindChoice MakeKindChoice(int pointCount, TNodeRef selectedNode);

// Longest connection point name the point dialog accepts (the record would hold kMaxNameChars).
inline constexpr int kPointNameMaxChars = 30;

// Period field.
// Key filter: returns the character to insert, or a null QChar to drop the key.
// Backspace (U+0008) and digits pass; ',' and '.' become the decimal separator once.
QChar FilterPeriodKey(const QString& fieldText, QChar key, const QLocale& locale = QLocale());
// The period text as the filter can produce it (digits with at most one decimal
// separator); nullopt for an empty, unparsable or non-finite text.
std::optional<float> ParsePeriod(const QString& text, const QLocale& locale = QLocale());
QString DefaultPeriodText(const QLocale& locale = QLocale());         // 4.2 in shortest form
QString PeriodText(float period, const QLocale& locale = QLocale());  // three decimals

// Questions of DevDeleteExecute.
QString DeleteQuestion(const QString& nodeCaption);
QString DeletePointWithDevicesQuestion(const QString& pointName);

// Parameter boxes of the device dialog and the OK rule.
class TParamBoxes {
  public:
    static constexpr int kBoxLeft = 10;
    static constexpr int kBoxTop = 15;
    static constexpr int kBoxStep = 15;

    uint32_t visible() const { return visible_; }
    uint32_t ticked() const { return ticked_; }
    bool isVisible(int n) const { return (visible_ >> n) & 1u; }
    bool isTicked(int n) const { return (ticked_ >> n) & 1u; }
    bool confirming() const { return confirming_; }

    // TypeComboChange: show exactly the boxes of `typeMask`, untick all.
    void ShowType(uint32_t typeMask);
    // Shows the boxes of `mask` without changing ticks (device of an unknown type).
    void Show(uint32_t mask) { visible_ = mask; }
    // A box's ticked state changed, by a click or by the program.
    void SetTicked(int n, bool ticked);
    // Top of box n (valid for visible boxes): 15, 30, 45 ... in ascending n.
    int TopOf(int n) const;
    int FirstVisible() const;  // -1 when none

    enum class OkResult { Confirm, Refuse };
    // OK pressed: Confirm closes the dialog; Refuse shows the message, after which the
    // caller ticks FirstVisible() (through SetTicked) and keeps the dialog open.
    OkResult PressOk() const { return confirming_ ? OkResult::Confirm : OkResult::Refuse; }

  private:
    uint32_t visible_ = 0;
    uint32_t ticked_ = 0;
    bool confirming_ = false;
};

}  // namespace qora
