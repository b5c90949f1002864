#pragma once

#include "DeviceState.h"

#include <QObject>
#include <QString>

#include <atomic>

// A device of the host. Its state may be read and set from any thread.
class TLAbstractDevice : public QObject
{
    Q_OBJECT
public:
    explicit TLAbstractDevice(QObject *parent = nullptr);
    ~TLAbstractDevice() override;

    DeviceState state() const;
    void setState(DeviceState state);
    virtual QString folderName() const = 0;

signals:
    void stateChanged(int state);

private:
    std::atomic<int> current{static_cast<int>(DeviceState::Off)};
};
