#pragma once

#include "TLDAPValue.h"

#include <QtGlobal>

// Settings of a generator, as a plain value.
class TLGeneratorSettings
{
public:
    qint32 targetDevice = 1;
    qint32 mode = 1;
    double kV = 0.0;
    double mAs = 0.0;
    double mA = 0.0;
    double ms = 0.0;
    double density = 0.0;
    qint32 focus = 1;
    qint32 aec = 0;
    TLDAPValue dap;

    bool operator==(const TLGeneratorSettings &other) const;
    bool operator!=(const TLGeneratorSettings &other) const { return !(*this == other); }
};
