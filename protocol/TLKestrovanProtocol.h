#pragma once

#include "KestrovanCommand.h"
#include "LogLevel.h"
#include "TLAbstractGeneratorDriver.h"
#include "TLCondition.h"
#include "TLKestrovanErrorHandler.h"
#include "TLKestrovanTelegram.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QMutex>
#include <QSharedPointer>
#include <QWaitCondition>

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

    QSharedPointer<TLKestrovanSerialCommunicator> communicator;
    QHash<int, quint16> commandCodes;
    QHash<int, QString> currentValues;
    QWaitCondition replyArrived;
    QHash<int, bool> awaitingReply;
    QHash<QByteArray, QDateTime> errorLastSeen;
    QDateTime lastErrorReport;
    // Woken by the link thread whenever a status word arrives or the link fails.
    QWaitCondition statusArrived;

    mutable QMutex linkMutex;
    mutable QMutex valuesMutex;
    QMutex replyMutex;
    QMutex statusMutex;
    mutable QMutex errorMutex;
};
