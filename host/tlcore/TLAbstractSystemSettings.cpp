#include "TLAbstractSystemSettings.h"

TLAbstractSystemSettings::~TLAbstractSystemSettings() = default;
