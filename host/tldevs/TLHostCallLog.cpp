#include "TLHostCallLog.h"

#include <mutex>

namespace {
std::mutex &callMutex()
{
    static std::mutex mutex;
    return mutex;
}

QStringList &callList()
{
    static QStringList list;
    return list;
}
} // namespace

void TLHostCallLog::record(const QString &call)
{
    std::lock_guard<std::mutex> lock(callMutex());
    callList().append(call);
}

QStringList TLHostCallLog::calls()
{
    std::lock_guard<std::mutex> lock(callMutex());
    return callList();
}

void TLHostCallLog::clear()
{
    std::lock_guard<std::mutex> lock(callMutex());
    callList().clear();
}
