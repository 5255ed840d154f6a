// Operator texts of the window and the dialogs.
#pragma once

#include <QString>

namespace qora::texts {

inline const QString kProgramTitle = QStringLiteral("QORA OPC Server");
inline const QString kWarningCaption = QStringLiteral("Предупреждение");
inline const QString kNewConfigName = QStringLiteral("Новая");
inline const QString kUnsavedMarker = QStringLiteral(" (Не сохранено)");
inline const QString kUnknown = QStringLiteral("неизвестно");
inline const QString kUnknownType = QStringLiteral("?");

inline const QString kQualityGood = QStringLiteral("Норма - без уточнений");
inline const QString kQualityNotConnected = QStringLiteral("Плохое - устройство не подключено");
inline const QString kQualityCommFailure = QStringLiteral("Плохое - устройство не отвечает");

inline const QString kKindPoint = QStringLiteral("Адаптер");
inline const QString kKindDevice = QStringLiteral("Устройство");
inline const QString kDefaultPointNamePrefix = QStringLiteral("Адаптер_");
inline const QString kDefaultDeviceName = QStringLiteral("Устройство");
inline const QString kCaptionAddPoint = QStringLiteral("Добавление адаптера");
inline const QString kCaptionAddDevice = QStringLiteral("Добавление устройства");
inline const QString kCaptionEditPoint = QStringLiteral("Изменение адаптера");
inline const QString kCaptionEditDevice = QStringLiteral("Изменение устройства");

inline const QString kMsgTooManyPoints =
    QStringLiteral("Достигнуто максимальное количество точек подключения.");
inline const QString kMsgNoFreePorts = QStringLiteral("Отсутствуют свободные коммуникационные порты.");
inline const QString kMsgNoParameter =
    QStringLiteral("Необходимо поставить на контроль хотя бы один параметр.");
inline const QString kMsgTooManyDevices =
    QStringLiteral("К адаптеру подключено максимальное количество устройств.");
inline const QString kMsgBadPeriod = QStringLiteral("Неверное значение периода опроса.");
inline const QString kMsgEmptyCatalogue = QStringLiteral("Каталог типов устройств пуст.");

inline const QString kFileFilter = QStringLiteral("Файлы конфигурации (*.cfg)");
inline const QString kFileSuffix = QStringLiteral("cfg");
inline const QString kOpenTitle = QStringLiteral("Открыть файл конфигурации");

}  // namespace qora::texts
