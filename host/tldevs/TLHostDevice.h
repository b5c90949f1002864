#pragma once

#include "TLAbstractDevice.h"

#include <mutex>

// The host's generator device, with a folder name the host sets.
class TLHostDevice : public TLAbstractDevice
{
    Q_OBJECT
public:
    explicit TLHostDevice(const QString &folderName = QString(), QObject *parent = nullptr);
    QString folderName() const override;
    void setFolderName(const QString &name);

private:
    mutable std::mutex mutex;
    QString folder;
};
