#include "TLAbstractEquipmentConfigData.h"

TLAbstractEquipmentSpecialConfigData::~TLAbstractEquipmentSpecialConfigData() = default;
