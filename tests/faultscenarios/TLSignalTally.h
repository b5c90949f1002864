#pragma once

#include <QObject>

// Counts a signal in the thread this object lives in. Signals that the link thread emits are
// connected with a queued connection, so the count is only ever touched by the test's thread.
class TLSignalTally : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    template <typename Sender, typename Signal> void watch(const Sender *sender, Signal signal)
    {
        connect(sender, signal, this, &TLSignalTally::count, Qt::QueuedConnection);
    }
    int total() const;

public slots:
    void count();

private:
    int counted = 0;
};
