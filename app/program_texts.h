// Operator texts of the process's life: the OPC UA endpoint's listening state, the
// registration commands' failures, a restart that could not start the new process.
#pragma once

#include <QString>
#include <QStringList>
#include <vector>

#include "opc/toolkit/gb_data_access.h"
#include "ua/net/server.h"

namespace qora {

// "Сервер OPC UA не может принимать подключения на HOST:PORT: REASON. Повторные попытки
// продолжаются." or "Сервер OPC UA принимает подключения на HOST:PORT."
QString ListenStateText(const ua::ListenState& state);

// One line per registration file that was not written (registering) or not removed.
// result: what the registration returned (E_INVALIDARG: no usable path of the program).
QStringList RegistrationFailureLines(bool registering, gb::HRESULT result,
                                     const std::vector<gb::GBFileFailure>& failures);

// The restart could not start the new process; this one goes on.
QString RestartFailureText(const QString& executable, const QString& reason);

}  // namespace qora
