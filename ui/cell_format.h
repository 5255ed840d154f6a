// Texts and images of the tree nodes and the parameter list cells.
//
// Pure functions of the records and a locale, so that the rules can be checked
// without any widget.
#pragma once

#include <QLocale>
#include <QString>
#include <cstdint>
#include <optional>

#include "config/records.h"

namespace qora {

// Indexes into the image list.
enum TImageIndex : int {
    kImgFileCreate = 0,
    kImgFileOpen = 1,
    kImgFileSave = 2,
    kImgFileExit = 3,
    kImgHelpAbout = 4,
    kImgDevAdd = 5,
    kImgDevEdit = 6,
    kImgDevDelete = 7,
    kImgFileSaveAs = 8,
    kImgClock = 9,
    kImgHelpHelp = 10,
    kImgNormal = 11,
    kImgFault = 12,
    kImgShowHide = 13,
    kImgRestart = 14,
    kImageCount = 15,
};

QString FromName(const char16_t* field);  // a NUL-terminated name field of the records
QString FromPortName(const char* field);

QString TypeName(const TConfigModel& m, int typeIndex);  // "?" outside the catalogue
QString ParamName(const TConfigModel& m, int n);
// "L1 (COM3)"
QString PointCaption(const TConnectionPoint& p);
// "D1 (T №5)"
QString DeviceCaption(const TConfigModel& m, const TDevice& d);
// Row caption of a point node's list: "D1 (T №5).P"
QString PointRowCaption(const TConfigModel& m, const TDevice& d, int n);

// Value cell: fixed point, three decimals, no group separator ("9999999,000" in ru).
QString FormatValue(float v, const QLocale& locale = QLocale());

struct TQualityCell {
    QString text;
    int image;
};
// Quality cell and row image; nullopt for a code the list leaves as it is.
std::optional<TQualityCell> QualityCell(uint16_t quality);

// Time cell: short date, and the long time unless the time of day is midnight.
QString FormatTimestamp(double dateTime, const QLocale& locale = QLocale());
// The locale's long time format without the time-zone field.
QString LongTimeFormat(const QLocale& locale);

// Node images of the periodic refresh.
int DeviceNodeImage(const TDevice& d);
// hasPort: the point is bound to a serial port object; portOpen: that port is open. Red unless
// both: a point whose port this computer lacks polls nothing.
int PointNodeImage(bool hasPort, bool portOpen);

// Window caption and the enabled state of FileSave.
struct TCaption {
    QString text;
    bool fileSaveEnabled;
};
// version: the program's file version; nullopt when the program carries none.
TCaption MakeCaption(const QString& configName, const std::optional<QString>& version, bool unsaved,
                     bool untitled, int pointCount);

}  // namespace qora
