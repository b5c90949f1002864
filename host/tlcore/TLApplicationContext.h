#pragma once

#include "LogLevel.h"

#include <QSharedPointer>
#include <QString>

class TLAbstractAlarmProvider;
class TLAbstractSystemSettings;

// The host's services. The application object is also the context; reach it afresh on each use.
class TLApplicationContext
{
public:
    virtual ~TLApplicationContext();

    // The running application as a context, or null when the application is not one.
    static TLApplicationContext *instance();

    virtual void log(const QString &category, const QString &text, LogLevel level) = 0;
    virtual QSharedPointer<TLAbstractAlarmProvider> alarm() const = 0;
    virtual QSharedPointer<TLAbstractSystemSettings> system() const = 0;
};
