#include "TLHostDevice.h"

TLHostDevice::TLHostDevice(const QString &folderName, QObject *parent)
    : TLAbstractDevice(parent), folder(folderName)
{
}

QString TLHostDevice::folderName() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return folder;
}

void TLHostDevice::setFolderName(const QString &name)
{
    std::lock_guard<std::mutex> lock(mutex);
    folder = name;
}
