#pragma once

#include <QtGlobal>

class TLWaitHelper
{
public:
    // Waits the given time. In a thread with an event loop, its events keep being processed
    // meanwhile, so queued signals arrive during the wait.
    static void waitSomeMilliseconds(quint32 milliseconds);
};
