#pragma once

#include "TLCondition.h"
#include "TLKestrovanStreamCutter.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QMutex>
#include <QString>
#include <QThread>
#include <QVector>
#include <QWaitCondition>

#include <atomic>
#include <mutex>

class QSerialPort;

// The worker thread that owns the serial port: writes queued telegrams, repeats each until its
// terminator comes back as acknowledgement, acknowledges and delivers received telegrams, and
// ticks a periodic timeout. One object serves one connection; it is never restarted.
class TLKestrovanSerialCommunicator : public QThread
{
    Q_OBJECT
public:
    enum LinkState : qint32 { Closed = 0, Opening = 1, Open = 2, Failed = 3 };

    // How the line has fared since the link was made.
    struct Health
    {
        qint64 written = 0;      // telegrams, first writes
        qint64 writtenAgain = 0; // for want of an echo
        qint64 givenUp = 0;
        qint64 damagedTelegrams = 0; // wrong check byte: neither acknowledged nor delivered
        qint64 noiseBytes = 0;
        qint64 droppedTelegrams = 0;  // good ones left unacknowledged, too many at once
        qint64 ackDelayMedianMs = -1; // first write to echo, of the latest echoes; -1 before the first
        qint64 ackDelayMaxMs = -1;
    };

    explicit TLKestrovanSerialCommunicator(const QString &portName, QObject *parent = nullptr);
    // Stops the loop and waits for the thread, so the object never goes while it runs.
    ~TLKestrovanSerialCommunicator() override;

    void waitForOpened();
    LinkState state() const;
    TLCondition lastCondition() const;
    bool isOpen() const;
    void send(QByteArray telegram, bool waitUntilSent);
    void setTimeoutInterval(const qint64 &milliseconds);
    qint64 tickInterval() const { return timeoutInterval; }
    void stop();
    Health health() const;

signals:
    void errorOccurred(TLCondition _cond);
    void messageReceived(QByteArray _data);
    void timeout();

protected:
    void run() override;

private:
    void openPort();
    void closePort();
    // wakeOnSend: a telegram queued meanwhile ends an idle wait for input at once (the loop's
    // own receive step); inside a transmission only the acknowledgement matters.
    void receiveTelegram(bool wakeOnSend = false);
    // Waits up to the read wait for input; true when a newly queued telegram ended the wait.
    bool waitForInput(bool wakeOnSend);
    void signalQueued();
    void signalProgress();
    void setState(LinkState state);
    TLCondition writeBytes(const QByteArray &bytes);
    // Success once acknowledged; otherwise the failure, already recorded in lastCondition.
    TLCondition transmit(const QByteArray &telegram);
    void countWrite(bool again);
    void recordAcknowledgement(qint64 delayMs);
    // Logs what the line dropped since the last report, at most once a second.
    void reportNoiseIfDue();
    void setLastCondition(const TLCondition &condition);
    bool isOwnThread() const;

    const QString portName;
    // Created, used and destroyed by the link thread; portMutex guards the pointer and the
    // opening and closing, so that isOpen() from the owner's thread never sees a dying port.
    QSerialPort *port = nullptr;
    std::atomic<bool> stopRequested{false};
    QMutex mutex; // guards sendQueue; held by the loop for a whole transmission
    QList<QByteArray> sendQueue;
    // The accessors carry the plain names state() and lastCondition().
    std::atomic<LinkState> m_state{Closed};
    std::atomic<qint64> timeoutInterval{0};
    TLCondition m_lastCondition; // guarded by conditionMutex
    // Link thread only.
    QByteArray message;
    QList<QByteArray> receivedQueue;
    // Telegrams received while a transmission waits for its acknowledgement, kept apart from
    // receivedQueue so that the port is still read; the loop delivers them afterwards.
    QList<QByteArray> setAside;
    TLKestrovanStreamCutter cutter;
    QElapsedTimer lineClock;
    qint64 droppedSetAside = 0;
    qint64 reportedDamaged = 0;
    qint64 reportedNoise = 0;
    qint64 reportedDropped = 0;
    QElapsedTimer noiseReported;

    mutable std::mutex healthMutex; // guards m_health and ackDelays
    Health m_health;
    QVector<qint64> ackDelays;

    // Mirrors sendQueue.size() (written under mutex), so that a waiting send() can poll it
    // without blocking for a whole transmission.
    std::atomic<int> queuedTelegrams{0};
    mutable std::mutex conditionMutex;
    mutable std::mutex portMutex;

    // Written by send() whenever a telegram is queued, so that the loop's wait for input ends
    // at once; -1 where the system has no event descriptor (the wait then runs its course).
    int queuedEvent = -1;
    // Woken when a telegram has left the queue or the link is no longer open, for the owner
    // waiting in send().
    QMutex progressMutex;
    QWaitCondition progressed;
};
