#pragma once

#include <QString>

// Sleeps until the system reports a change in one folder (an entry made, removed or renamed,
// or the folder itself gone), or until a time is up, without running the caller's events.
// Where the system gives no notification (or not for this folder) it only sleeps the time.
class TLKestrovanFolderWatch
{
public:
    explicit TLKestrovanFolderWatch(const QString &folder);
    ~TLKestrovanFolderWatch();
    TLKestrovanFolderWatch(const TLKestrovanFolderWatch &) = delete;
    TLKestrovanFolderWatch &operator=(const TLKestrovanFolderWatch &) = delete;

    // Returns after at most timeoutMs; true when a change was reported.
    bool waitForChange(int timeoutMs);

private:
    int notifier = -1;
};
