#pragma once

#include "TLAbstractSystemSettings.h"

#include <mutex>

// System settings whose directories the host (or a test) sets.
class TLHostSystemSettings : public TLAbstractSystemSettings
{
public:
    QString workingDirectory() const override;
    QString dataDirectory() const override;
    void setWorkingDirectory(const QString &path);
    void setDataDirectory(const QString &path);

private:
    mutable std::mutex mutex;
    QString working;
    QString data;
};
