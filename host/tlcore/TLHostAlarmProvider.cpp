#include "TLHostAlarmProvider.h"

#include <utility>

TLHostAlarmProvider::TLHostAlarmProvider(Sink sink) : sink(std::move(sink)) {}

void TLHostAlarmProvider::handle(const TLCondition &condition, const QString &text, bool flag)
{
    if (sink)
        sink(condition, text, flag);
}
