#include "KestrovanLog.h"

#include "TLApplicationContext.h"

namespace KestrovanLog {

const QString Category = QStringLiteral("KESTROVAN");

void log(LogLevel level, const QString &text)
{
    if (TLApplicationContext *context = TLApplicationContext::instance())
        context->log(Category, text, level);
}

} // namespace KestrovanLog
