#pragma once

#include "TLAbstractEquipmentConfigData.h"

#include <QString>

#include <array>

// Configuration of a generator device.
class TLGeneratorConfigData : public TLAbstractEquipmentSpecialConfigData
{
public:
    QString portName;
    std::array<quint32, 3> targetDeviceCodes{{0, 0, 0}}; // target devices 1 to 3
    QString communicationFolder;
};
