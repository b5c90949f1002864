#pragma once

#include "TLCondition.h"

#include <QString>

// Shows a condition to the user.
class TLAbstractAlarmProvider
{
public:
    virtual ~TLAbstractAlarmProvider();
    virtual void handle(const TLCondition &condition, const QString &text, bool flag) = 0;
};
