#pragma once

#include <QString>
#include <QStringList>

// Sleeps until the system reports changes in one folder (entries made, removed or renamed, or
// the folder itself gone), or until a time is up, without running the caller's events.
// Where the system cannot be trusted to report every change (no notifications for this folder,
// or a file system that other machines change), the caller lists the folder again instead,
// after a short sleep that local changes still cut short.
class TLKestrovanFolderWatch
{
public:
    // The names of the entries a wait saw change; with everything set, what changed is not
    // known (the folder must be listed again), and the names do not matter.
    struct Changes
    {
        bool everything = false;
        QStringList names;
    };

    explicit TLKestrovanFolderWatch(const QString &folder);
    ~TLKestrovanFolderWatch();
    TLKestrovanFolderWatch(const TLKestrovanFolderWatch &) = delete;
    TLKestrovanFolderWatch &operator=(const TLKestrovanFolderWatch &) = delete;

    const QString &folder() const;
    // True while every change of the folder's entries is reported to this watch.
    bool reportsEveryChange() const;
    // Returns at the first reported changes, or after at most timeoutMs with none. While not
    // every change is reported, it returns after the relisting period at the latest, with
    // everything set.
    Changes waitForChanges(int timeoutMs);

    // Whether a file system of this type (as statfs gives it) is changed by other machines,
    // whose changes this machine's kernel never sees.
    static bool isNetworkFileSystem(quint32 type);

private:
    Changes readChanges();

    const QString watched;
    int notifier = -1;
    bool complete = false;
};
