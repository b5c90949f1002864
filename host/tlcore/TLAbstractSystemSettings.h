#pragma once

#include <QString>

// The host's system settings: the two directories the driver uses.
class TLAbstractSystemSettings
{
public:
    virtual ~TLAbstractSystemSettings();
    virtual QString workingDirectory() const = 0;
    virtual QString dataDirectory() const = 0;
};
