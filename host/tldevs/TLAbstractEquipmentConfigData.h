#pragma once

// Base of the device-specific configuration records; the class keeps the name the host gives it.
class TLAbstractEquipmentSpecialConfigData
{
public:
    virtual ~TLAbstractEquipmentSpecialConfigData();
};
