#pragma once

#include "TLAbstractAlarmProvider.h"

#include <functional>

// Hands every alarm to one sink (the host application records or prints it).
class TLHostAlarmProvider : public TLAbstractAlarmProvider
{
public:
    using Sink = std::function<void(const TLCondition &, const QString &, bool)>;
    explicit TLHostAlarmProvider(Sink sink);
    void handle(const TLCondition &condition, const QString &text, bool flag) override;

private:
    Sink sink;
};
