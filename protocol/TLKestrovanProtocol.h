#pragma once

#include "KestrovanCommand.h"
#include "LogLevel.h"
#include "TLAbstractGeneratorDriver.h"
#include "TLCondition.h"
#include "TLKestrovanErrorHandler.h"
#include "TLKestrovanTelegram.h"

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QMutex>
#include <QSet>
#include <QSharedPointer>
#include <QStringList>
#include <QVariantMap>
#include <QWaitCondition>

#include <atomic>

class TLKestrovanSerialCommunicator;

// The protocol layer of the driver: builds and reads telegrams, sends commands and queries over
// the serial link, keeps the last value text of every command, polls the status, runs the
// exposure handshake and reports generator and link errors.
//
// Threads: the host's main thread calls the request operations; the link thread runs
// onMessageReceived, onCommunicationErrorOccurred, updateStatus and the handshake. Members both
// touch are guarded by valuesMutex (values and waiters), replyMutex (the reply wait),
// errorMutex (error throttling) and linkMutex (the link pointer).
class TLKestrovanProtocol : public TLAbstractGeneratorDriver
{
    Q_OBJECT
public:
    // A generator error code is shown again only after this much silence about it.
    static constexpr qint64 ErrorRepeatMs = 5000;
    // Alarms for generator errors come at most this often; codes in between wait for it.
    static constexpr qint64 AlarmIntervalMs = 1000;
    // Unknown commands and unreadable exposure states are logged one by one at most this often,
    // then in summary: on a noisy line some garbage passes the check byte by chance.
    static constexpr qint64 UnusableTelegramLogMs = 10000;
    // Above this many remembered error codes, the stale ones are forgotten.
    static constexpr int ErrorMemoryEntries = 256;
    // The generator's error state is reset this long after a report.
    static constexpr qint64 ErrorResetDelayMs = 2000;
    // How long the host's synchroniser may take to agree to prepare or exposure.
    static constexpr int HandshakeTimeoutMs = 1500;

    explicit TLKestrovanProtocol(QObject *parent = nullptr);
    ~TLKestrovanProtocol() override;

    TLCondition sendCommand(int id, const QString &value, bool waitUntilSent);
    TLCondition query(int id, bool waitForReply);
    QString currentValue(int id, bool queryIfMissing, bool waitForReply);

    TLCondition openConnection();
    TLCondition closeConnection();
    bool isPortOpen() const;
    QString configuredPortName() const;
    void startStatusPolling();

    bool statusFocusReady();
    bool statusGeneratorOn();
    bool statusDapEnabled();
    // Sleeps until the bit of status word 1 is set, testing it again each time the link stores
    // a status word or fails; false once more than timeoutMs have passed without it.
    bool waitForStatus1Bit(int bit, qint64 timeoutMs);
    // The link's loop runs and writes what is queued: only then can a telegram reach the
    // generator. isPortOpen() asks less: after a failure the loop stops writing at once, while
    // the port is held open a moment longer, until the loop has ended.
    bool isLinkRunning() const;

    // The telegram of a command id and a value text, from the command table.
    TLKestrovanTelegram buildTelegram(int id, const QString &value) const;
    // The id whose code matches, or Unknown.
    int commandId(quint16 code) const;

    // How many telegrams of an id have arrived: whether a reply came can be told by it.
    quint64 receivedCount(int id) const;

    // The link now current is the one that failed last. A reaction to a failure, queued to the
    // host's thread, leaves alone a link that was opened after it.
    bool hasCurrentLinkFailed() const;

    // Counters of the line and of the replies, for a host that wants to see how the line fares.
    QVariantMap linkHealth() const;

signals:
    void errorReceived(QByteArray _error);
    void communicationErrorOccurred();
    // Every failure of the link, shown to the user or not.
    void linkFailed();

public slots:
    void onCommunicationErrorOccurred(const TLCondition &_cond);
    void onMessageReceived(const QByteArray &_data);
    void updateStatus();
    void handleError(const QByteArray &_error);

protected:
    void handleExposureState(const QByteArray &value);
    void showAlarm(const TLCondition &condition) const;
    QSharedPointer<TLKestrovanSerialCommunicator> link() const;
    bool isLinkThread() const;

    TLKestrovanErrorHandler errorHandler;

private:
    bool statusBit(int id, int bit);
    void stopStatusPolling();
    void resetErrorIfDue();
    // Logs the line about an unknown command or an unreadable exposure state, or counts it
    // while a flood of them is under way.
    void logUnusableTelegram(const QString &line);
    void flushUnusableTelegrams();
    // Shows the alarms held back while alarms came faster than one a second.
    void showHeldBackAlarms();
    void logLinkHealth() const;

    QSharedPointer<TLKestrovanSerialCommunicator> communicator;
    QHash<int, quint16> commandCodes;
    QHash<int, QString> currentValues;
    QWaitCondition replyArrived;
    QHash<int, bool> awaitingReply;
    QHash<QByteArray, QDateTime> errorLastSeen;
    QDateTime lastErrorReport;
    // Woken by the link thread whenever a status word arrives or the link fails.
    QWaitCondition statusArrived;

    // Counts up with each link made, and notes the one that failed last.
    std::atomic<quint64> linkGeneration{0};
    std::atomic<quint64> failedLinkGeneration{0};

    // Guarded by valuesMutex: ids whose waiting query gave up; their reply comes too late.
    QSet<int> repliesOverdue;
    QHash<int, quint64> received;
    qint64 lateReplies = 0;
    // When the last status word arrived (steady clock, ms); -1 before the first.
    std::atomic<qint64> statusArrivedMs{-1};

    // Guarded by errorMutex: alarms come at most once a second; codes that come faster are
    // held back and shown together when the second is over.
    QElapsedTimer lastAlarm;
    QStringList heldBackCodes;
    bool heldBackAlarmDue = false;

    // Guarded by unusableMutex: when the last unusable telegram was logged, and those held back.
    QElapsedTimer unusableLogged;
    int unusableHeldBack = 0;

    mutable QMutex linkMutex;
    mutable QMutex valuesMutex;
    QMutex replyMutex;
    QMutex statusMutex;
    mutable QMutex errorMutex;
    QMutex unusableMutex;
};
