#include "TLAbstractDevice.h"

TLAbstractDevice::TLAbstractDevice(QObject *parent) : QObject(parent) {}

TLAbstractDevice::~TLAbstractDevice() = default;

DeviceState TLAbstractDevice::state() const
{
    return static_cast<DeviceState>(current.load());
}

void TLAbstractDevice::setState(DeviceState state)
{
    const int value = static_cast<int>(state);
    if (current.exchange(value) != value)
        emit stateChanged(value);
}
