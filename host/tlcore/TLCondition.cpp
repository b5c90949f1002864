#include "TLCondition.h"

#include "TLApplicationContext.h"

#include <atomic>

namespace {
std::atomic<bool> autoLogging{true};

// Registered once when the library is loaded, under the name that queued signals use.
const int conditionTypeId = qRegisterMetaType<TLCondition>("TLCondition");
} // namespace

TLCondition::TLCondition(Kind kind, const QString &text, const QString &details)
    : m_kind(kind), m_text(text), m_details(details)
{
}

TLCondition TLCondition::error(const QString &text, const QString &details)
{
    Q_UNUSED(conditionTypeId)
    if (autoLogging.load()) {
        if (TLApplicationContext *context = TLApplicationContext::instance())
            context->log(QStringLiteral("CONDITION"), text, LogLevel::Error);
    }
    return TLCondition(Kind::Error, text, details);
}

TLCondition TLCondition::warning(const QString &text, const QString &details)
{
    return TLCondition(Kind::Warning, text, details);
}

void TLCondition::enableAutoLoggingErrors(bool enable)
{
    autoLogging.store(enable);
}

bool TLCondition::autoLoggingErrors()
{
    return autoLogging.load();
}

bool TLCondition::operator==(const TLCondition &other) const
{
    return m_kind == other.m_kind && m_text == other.m_text && m_details == other.m_details;
}
