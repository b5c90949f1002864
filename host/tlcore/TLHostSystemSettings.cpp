#include "TLHostSystemSettings.h"

QString TLHostSystemSettings::workingDirectory() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return working;
}

QString TLHostSystemSettings::dataDirectory() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return data;
}

void TLHostSystemSettings::setWorkingDirectory(const QString &path)
{
    std::lock_guard<std::mutex> lock(mutex);
    working = path;
}

void TLHostSystemSettings::setDataDirectory(const QString &path)
{
    std::lock_guard<std::mutex> lock(mutex);
    data = path;
}
