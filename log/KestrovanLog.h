#pragma once

#include "LogLevel.h"

#include <QString>

// Every line the driver writes goes to the host's log under one category. The host's context is
// reached afresh each time: the host may not (or no longer) provide one.
namespace KestrovanLog {

extern const QString Category; // "KESTROVAN"

void log(LogLevel level, const QString &text);

} // namespace KestrovanLog
