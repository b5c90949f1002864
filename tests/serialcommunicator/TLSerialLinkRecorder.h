#pragma once

#include "TLCondition.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>

#include <mutex>
#include <pthread.h>
#include <sys/types.h>

class TLKestrovanSerialCommunicator;
class TLPseudoTerminal;

// Records what a link emits. The signals come from the link thread (direct connections), so
// every record is taken under a lock and read back as a copy.
class TLSerialLinkRecorder
{
public:
    explicit TLSerialLinkRecorder(TLKestrovanSerialCommunicator *link);

    // From now on each delivery also reads, in the link thread, what the far end has received
    // so far: proof of what was written before the delivery. The caller must not read the
    // master meanwhile.
    void readEchoesOnDelivery(TLPseudoTerminal *master);
    // A reply queued with send() from inside the delivery, as a protocol handler might.
    void replyOnDelivery(const QByteArray &reply, bool waitUntilSent);
    // A telegram queued with send() from inside the error report.
    void sendOnError(const QByteArray &telegram);

    QList<QByteArray> messages() const;
    QList<QByteArray> echoesAtDelivery() const;
    QList<TLCondition> errors() const;
    int ticks() const;
    QList<qint64> tickTimesMs() const;

    // Known once the link thread has emitted anything.
    bool knowsLinkThread() const;
    pid_t linkThreadId() const;
    // CPU time the link thread has used so far, in ms; the thread must still be alive.
    double linkThreadCpuMs() const;

private:
    void noteThread();
    void onMessage(const QByteArray &data);

    TLKestrovanSerialCommunicator *link;
    mutable std::mutex mutex;
    QElapsedTimer clock;
    TLPseudoTerminal *echoSource = nullptr;
    QByteArray reply;
    bool replyWaits = false;
    QByteArray errorTelegram;
    QList<QByteArray> messageList;
    QList<QByteArray> echoList;
    QList<TLCondition> errorList;
    QList<qint64> tickList;
    bool threadKnown = false;
    pid_t threadId = 0;
    pthread_t threadHandle{};
};
