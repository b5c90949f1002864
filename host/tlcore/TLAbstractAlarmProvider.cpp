#include "TLAbstractAlarmProvider.h"

TLAbstractAlarmProvider::~TLAbstractAlarmProvider() = default;
