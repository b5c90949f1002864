#include "TLAbstractEquipmentSpecialConfigData.h"

TLAbstractEquipmentSpecialConfigData::~TLAbstractEquipmentSpecialConfigData() = default;
