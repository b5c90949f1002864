#pragma once

// Base of the device-specific configuration records.
class TLAbstractEquipmentSpecialConfigData
{
public:
    virtual ~TLAbstractEquipmentSpecialConfigData();
};
