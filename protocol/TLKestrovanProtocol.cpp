#include "TLKestrovanProtocol.h"

#include "KestrovanLog.h"
#include "KestrovanTiming.h"
#include "TLAbstractAlarmProvider.h"
#include "TLAnnotatedMutexLocker.h"
#include "TLApplicationContext.h"
#include "TLGeneratorConfigData.h"
#include "TLKestrovanExposureState.h"
#include "TLKestrovanSerialCommunicator.h"
#include "TLKestrovanStatusWord.h"
#include "TLThreadAnnotations.h"
#include "TLXRayExposureStateProvider.h"
#include "TLXRaySynchronizer.h"

#include <QElapsedTimer>
#include <QTimer>

using namespace Kestrovan;
using KestrovanLog::log;

namespace {
const QString QueryValue = QStringLiteral("?");
} // namespace

TLKestrovanProtocol::TLKestrovanProtocol(QObject *parent) : TLAbstractGeneratorDriver(parent)
{
    qRegisterMetaType<TLCondition>("TLCondition");
    for (int id = 0; id < CommandCount; ++id)
        commandCodes.insert(id, Kestrovan::commandCode(id));
    connect(this, &TLKestrovanProtocol::errorReceived, this, &TLKestrovanProtocol::handleError);
}

TLKestrovanProtocol::~TLKestrovanProtocol()
{
    // The link's thread calls back into this object: it must end before we go.
    const QSharedPointer<TLKestrovanSerialCommunicator> current = link();
    if (current) {
        current->stop();
        current->disconnect(this);
        current->wait();
        TLThreadAnnotations::joined(current.data());
    }
}

void TLKestrovanProtocol::showAlarm(const TLCondition &condition) const
{
    if (TLApplicationContext *context = TLApplicationContext::instance()) {
        if (const QSharedPointer<TLAbstractAlarmProvider> provider = context->alarm())
            provider->handle(condition, QString(), false);
    }
}

QSharedPointer<TLKestrovanSerialCommunicator> TLKestrovanProtocol::link() const
{
    TLAnnotatedMutexLocker lock(&linkMutex);
    return communicator;
}

bool TLKestrovanProtocol::isLinkThread() const
{
    const QSharedPointer<TLKestrovanSerialCommunicator> current = link();
    return current && QThread::currentThread() == current.data();
}

TLKestrovanTelegram TLKestrovanProtocol::buildTelegram(int id, const QString &value) const
{
    return TLKestrovanTelegram::build(commandCodes.value(id), value);
}

int TLKestrovanProtocol::commandId(quint16 code) const
{
    for (auto it = commandCodes.constBegin(); it != commandCodes.constEnd(); ++it) {
        if (it.value() == code)
            return it.key();
    }
    return Unknown;
}

TLCondition TLKestrovanProtocol::sendCommand(int id, const QString &value, bool waitUntilSent)
{
    const TLKestrovanTelegram telegram = buildTelegram(id, value);
    if (telegram.isEmpty()) {
        log(LogLevel::Error, QStringLiteral("refused telegram: ") + telegram.refusal().details());
        return telegram.refusal();
    }
    const QString text = QString::fromLatin1(telegram.text());
    const QSharedPointer<TLKestrovanSerialCommunicator> current = link();
    if (!current) {
        // Nothing was ever opened: there is nowhere to send to.
        log(LogLevel::Warning, QStringLiteral("no serial link for: ") + text);
        return TLCondition::error(tr("Die Verbindung zum Generator ist nicht hergestellt."));
    }
    const bool isQuery = value == QueryValue;
    log(LogLevel::Trace, (isQuery ? QStringLiteral("query:    ") : QStringLiteral("command:  ")) + text);
    if (!isQuery) {
        QString stored = value;
        stored.replace(QLatin1Char(','), QLatin1Char('.'));
        TLAnnotatedMutexLocker lock(&valuesMutex);
        currentValues.insert(id, stored);
    }
    current->send(telegram.bytes(), waitUntilSent);
    return current->lastCondition();
}

bool TLKestrovanProtocol::isLinkRunning() const
{
    const QSharedPointer<TLKestrovanSerialCommunicator> current = link();
    return current && current->state() == TLKestrovanSerialCommunicator::Open;
}

TLCondition TLKestrovanProtocol::query(int id, bool waitForReply)
{
    // A link that is not open (never opened, failed or stopped) writes nothing: no reply can
    // come, so there is nothing to send or to wait for.
    if (!isDirectConnection() || !isLinkRunning())
        return TLCondition();
    // A wait in the link thread would stop the very loop that has to deliver the reply.
    if (waitForReply && isLinkThread())
        waitForReply = false;
    quint64 receivedBefore = 0;
    {
        TLAnnotatedMutexLocker lock(&valuesMutex);
        awaitingReply.insert(id, waitForReply);
        receivedBefore = received.value(id);
    }
    if (!waitForReply)
        return sendCommand(id, QueryValue, false);

    // Held from before the telegram leaves until the wait begins, so that a quick reply's
    // wake-up cannot fall between the two.
    TLAnnotatedMutexLocker lock(&replyMutex);
    TLCondition sent = sendCommand(id, QueryValue, false);
    if (!sent.isSuccess())
        return sent;
    TLThreadAnnotations::wait(replyArrived, replyMutex, ReplyTimeoutMs);
    // Any reply wakes every waiter: this one's own may still be on its way.
    TLAnnotatedMutexLocker values(&valuesMutex);
    if (received.value(id) == receivedBefore)
        repliesOverdue.insert(id);
    return TLCondition();
}

QString TLKestrovanProtocol::currentValue(int id, bool queryIfMissing, bool waitForReply)
{
    {
        TLAnnotatedMutexLocker lock(&valuesMutex);
        const auto it = currentValues.constFind(id);
        if (it != currentValues.constEnd())
            return it.value();
    }
    // Without an open link there is nobody to ask; keep no trace, so that the first call after
    // switching on still asks the generator.
    if (queryIfMissing && isDirectConnection() && isLinkRunning()) {
        query(id, waitForReply);
        TLAnnotatedMutexLocker lock(&valuesMutex);
        // An entry is made even when no reply came, so the next call does not ask again.
        return currentValues[id];
    }
    return QString();
}

TLCondition TLKestrovanProtocol::openConnection()
{
    closeConnection();
    const QString portName = configuredPortName();
    QSharedPointer<TLKestrovanSerialCommunicator> fresh(new TLKestrovanSerialCommunicator(portName));
    {
        TLAnnotatedMutexLocker lock(&linkMutex);
        // The previous link's thread has ended (closeConnection waited for it).
        communicator = fresh;
        ++linkGeneration;
    }
    fresh->start();
    fresh->waitForOpened();
    const TLKestrovanSerialCommunicator::LinkState state = fresh->state();
    if (state == TLKestrovanSerialCommunicator::Closed || state == TLKestrovanSerialCommunicator::Failed)
        return fresh->lastCondition();
    connect(fresh.data(), &TLKestrovanSerialCommunicator::errorOccurred, this,
            &TLKestrovanProtocol::onCommunicationErrorOccurred, Qt::DirectConnection);
    connect(fresh.data(), &TLKestrovanSerialCommunicator::messageReceived, this,
            &TLKestrovanProtocol::onMessageReceived, Qt::DirectConnection);
    return TLCondition();
}

TLCondition TLKestrovanProtocol::closeConnection()
{
    const QSharedPointer<TLKestrovanSerialCommunicator> current = link();
    if (current) {
        const bool wasRunning = current->isRunning();
        current->stop();
        // stop() may return while a failed loop still releases the port; wait for the end.
        if (QThread::currentThread() != current.data()) {
            current->wait();
            TLThreadAnnotations::joined(current.data());
        }
        if (wasRunning)
            logLinkHealth();
    }
    return TLCondition();
}

bool TLKestrovanProtocol::isPortOpen() const
{
    const QSharedPointer<TLKestrovanSerialCommunicator> current = link();
    return current && current->isOpen();
}

QString TLKestrovanProtocol::configuredPortName() const
{
    const QSharedPointer<TLGeneratorConfigData> config = deviceConfig().dynamicCast<TLGeneratorConfigData>();
    return config ? config->portName : QString();
}

void TLKestrovanProtocol::startStatusPolling()
{
    const QSharedPointer<TLKestrovanSerialCommunicator> current = link();
    if (!current)
        return;
    // Connected before the interval is set: the link starts ticking only after it sees the
    // interval, so it never emits into a connection still being made.
    connect(current.data(), &TLKestrovanSerialCommunicator::timeout, this, &TLKestrovanProtocol::updateStatus,
            static_cast<Qt::ConnectionType>(Qt::DirectConnection | Qt::UniqueConnection));
    current->setTimeoutInterval(StatusPollIntervalMs);
}

void TLKestrovanProtocol::stopStatusPolling()
{
    const QSharedPointer<TLKestrovanSerialCommunicator> current = link();
    if (!current)
        return;
    current->setTimeoutInterval(0);
    disconnect(current.data(), &TLKestrovanSerialCommunicator::timeout, this,
               &TLKestrovanProtocol::updateStatus);
}

bool TLKestrovanProtocol::statusBit(int id, int bit)
{
    QString text;
    {
        TLAnnotatedMutexLocker lock(&valuesMutex);
        text = currentValues[id];
    }
    return TLKestrovanStatusWord(text).has(bit);
}

bool TLKestrovanProtocol::statusFocusReady()
{
    return statusBit(Status1, TLKestrovanStatusWord::FocusReadyBit);
}

bool TLKestrovanProtocol::statusGeneratorOn()
{
    return statusBit(Status1, TLKestrovanStatusWord::GeneratorOnBit);
}

bool TLKestrovanProtocol::statusDapEnabled()
{
    return statusBit(Status2, TLKestrovanStatusWord::DapEnabledBit);
}

bool TLKestrovanProtocol::waitForStatus1Bit(int bit, qint64 timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    // Held from each test until the wait begins, so that a status stored in between still
    // wakes us.
    TLAnnotatedMutexLocker lock(&statusMutex);
    while (!statusBit(Status1, bit)) {
        const qint64 left = timeoutMs - timer.elapsed();
        if (left < 0)
            return false;
        TLThreadAnnotations::wait(statusArrived, statusMutex, static_cast<unsigned long>(left) + 1);
    }
    return true;
}

void TLKestrovanProtocol::onMessageReceived(const QByteArray &_data)
{
    if (_data.size() < 2) {
        log(LogLevel::Error, QStringLiteral("received to short message: ") + QString::fromLatin1(_data));
        return;
    }
    const TLKestrovanTelegram telegram(_data);
    const int id = commandId(telegram.code());
    const QString text = QString::fromLatin1(telegram.text());
    log(LogLevel::Trace, QStringLiteral("received: ") + text);
    flushUnusableTelegrams();
    if (id == Unknown) {
        logUnusableTelegram(QStringLiteral("unknown command: ") + text);
        return;
    }
    const QByteArray value = telegram.value();

    if (id == ErrorCode) {
        if (!value.isEmpty() && value != "0")
            emit errorReceived(value);
    } else if (id == ExposureState) {
        log(LogLevel::Trace, QStringLiteral("new exposure state: ") + QString::fromLatin1(value));
        handleExposureState(value);
        return;
    } else if (id == Status2) {
        log(LogLevel::Trace, QStringLiteral("status2: %1").arg(QString::fromLatin1(value)));
    }

    const QString newText = QString::fromLatin1(value);
    QString oldText;
    bool changed = false;
    bool wake = false;
    {
        TLAnnotatedMutexLocker lock(&valuesMutex);
        oldText = currentValues[id];
        ++received[id];
        if (repliesOverdue.remove(id))
            ++lateReplies;
        changed = id == TargetDevice ? oldText.left(2) != newText.left(2) : oldText != newText;
        if (changed)
            currentValues.insert(id, newText);
        wake = awaitingReply[id];
    }

    if (changed) {
        if (id == Status1) {
            log(LogLevel::Trace, QStringLiteral("status1: %1 -> %2").arg(oldText, newText));
            const int before = TLKestrovanStatusWord(oldText).value();
            const int after = TLKestrovanStatusWord(newText).value();
            if ((before ^ after) & TLKestrovanStatusWord::ErrorBit)
                query(ErrorCode, false);
        } else if (id != Status2) {
            log(LogLevel::Trace, QStringLiteral("value changed: %1 (%2 -> %3)")
                                     .arg(QString::fromLatin1(telegram.letters()), oldText, newText));
            emit valueChanged();
        }
    }

    if (wake) {
        TLAnnotatedMutexLocker lock(&replyMutex);
        TLThreadAnnotations::wakeAll(replyArrived);
    }
    if (id == Status1 || id == Status2) {
        statusArrivedMs = QDateTime::currentMSecsSinceEpoch();
        TLAnnotatedMutexLocker lock(&statusMutex);
        TLThreadAnnotations::wakeAll(statusArrived);
    }
}

void TLKestrovanProtocol::logUnusableTelegram(const QString &line)
{
    {
        TLAnnotatedMutexLocker lock(&unusableMutex);
        if (unusableLogged.isValid() && unusableLogged.elapsed() < UnusableTelegramLogMs) {
            ++unusableHeldBack;
            return;
        }
        unusableLogged.start();
    }
    log(LogLevel::Warning, line);
}

void TLKestrovanProtocol::flushUnusableTelegrams()
{
    int heldBack = 0;
    {
        TLAnnotatedMutexLocker lock(&unusableMutex);
        if (unusableHeldBack == 0 || unusableLogged.elapsed() < UnusableTelegramLogMs)
            return;
        std::swap(heldBack, unusableHeldBack);
        unusableLogged.start();
    }
    log(LogLevel::Warning,
        QStringLiteral("%1 more telegrams of unknown commands or unreadable exposure states "
                       "in the last %2 s")
            .arg(heldBack)
            .arg(UnusableTelegramLogMs / 1000));
}

quint64 TLKestrovanProtocol::receivedCount(int id) const
{
    TLAnnotatedMutexLocker lock(&valuesMutex);
    return received.value(id);
}

bool TLKestrovanProtocol::hasCurrentLinkFailed() const
{
    return failedLinkGeneration.load() == linkGeneration.load();
}

QVariantMap TLKestrovanProtocol::linkHealth() const
{
    QVariantMap health;
    const QSharedPointer<TLKestrovanSerialCommunicator> current = link();
    const TLKestrovanSerialCommunicator::Health line =
        current ? current->health() : TLKestrovanSerialCommunicator::Health();
    health.insert(QStringLiteral("telegramsWritten"), line.written);
    health.insert(QStringLiteral("telegramsWrittenAgain"), line.writtenAgain);
    health.insert(QStringLiteral("giveUps"), line.givenUp);
    health.insert(QStringLiteral("damagedTelegrams"), line.damagedTelegrams);
    health.insert(QStringLiteral("noiseBytes"), line.noiseBytes);
    health.insert(QStringLiteral("droppedTelegrams"), line.droppedTelegrams);
    health.insert(QStringLiteral("ackDelayMedianMs"), line.ackDelayMedianMs);
    health.insert(QStringLiteral("ackDelayMaxMs"), line.ackDelayMaxMs);
    {
        TLAnnotatedMutexLocker lock(&valuesMutex);
        health.insert(QStringLiteral("lateReplies"), lateReplies);
    }
    const qint64 arrived = statusArrivedMs.load();
    health.insert(QStringLiteral("statusAgeMs"),
                  arrived < 0 ? -1 : QDateTime::currentMSecsSinceEpoch() - arrived);
    health.insert(QStringLiteral("polling"), isLinkRunning() && current->tickInterval() > 0);
    return health;
}

void TLKestrovanProtocol::logLinkHealth() const
{
    const QVariantMap health = linkHealth();
    QStringList parts;
    for (auto it = health.constBegin(); it != health.constEnd(); ++it)
        parts << it.key() + QLatin1Char(' ') + it.value().toString();
    log(LogLevel::Debug, QStringLiteral("link health: ") + parts.join(QStringLiteral(", ")));
}

void TLKestrovanProtocol::updateStatus()
{
    flushUnusableTelegrams();
    query(Status1, false);
    query(Status2, false);
    resetErrorIfDue();
}

void TLKestrovanProtocol::resetErrorIfDue()
{
    {
        TLAnnotatedMutexLocker lock(&errorMutex);
        if (!lastErrorReport.isValid()
            || lastErrorReport.msecsTo(QDateTime::currentDateTimeUtc()) <= ErrorResetDelayMs)
            return;
        lastErrorReport = QDateTime();
    }
    log(LogLevel::Info, QStringLiteral("reset error"));
    sendCommand(ResetError, QString(), false);
    query(ErrorCode, false);
}

void TLKestrovanProtocol::handleError(const QByteArray &_error)
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    // "105", "0105", "+105" and "105 " are one code to the generator, and so to the throttle.
    const QString code = QString::fromLatin1(_error);
    bool isNumber = false;
    const int number = code.toInt(&isNumber, 10);
    const QByteArray key = isNumber ? QByteArray::number(number) : _error.trimmed();
    {
        TLAnnotatedMutexLocker lock(&errorMutex);
        const QDateTime seen = errorLastSeen.value(key);
        const bool report = seen.isNull() || seen.msecsTo(now) > ErrorRepeatMs;
        // Codes not seen for longer than the repeat time count as never seen, so forgetting
        // them changes nothing; it keeps a generator that sends garbage from growing this.
        if (errorLastSeen.size() >= ErrorMemoryEntries) {
            for (auto it = errorLastSeen.begin(); it != errorLastSeen.end();) {
                if (it.value().msecsTo(now) > ErrorRepeatMs)
                    it = errorLastSeen.erase(it);
                else
                    ++it;
            }
        }
        errorLastSeen.insert(key, now);
        if (!report)
            return;
        lastErrorReport = now;
        if (lastAlarm.isValid() && lastAlarm.elapsed() < AlarmIntervalMs) {
            // Held back, the code is logged with the others when the second is over.
            heldBackCodes.append(code);
            if (!heldBackAlarmDue) {
                heldBackAlarmDue = true;
                const qint64 rest = qMax<qint64>(0, AlarmIntervalMs - lastAlarm.elapsed());
                // By the slot's name: the template form hands Qt an allocation that the static
                // analysis cannot follow and takes for a leak.
                QTimer::singleShot(static_cast<int>(rest), this, SLOT(showHeldBackAlarms()));
            }
            return;
        }
        lastAlarm.start();
    }
    log(LogLevel::Info, QStringLiteral("handle error: ") + code);
    showAlarm(errorHandler.errorCondition(code));
}

void TLKestrovanProtocol::showHeldBackAlarms()
{
    QStringList codes;
    {
        TLAnnotatedMutexLocker lock(&errorMutex);
        heldBackAlarmDue = false;
        codes.swap(heldBackCodes);
        lastAlarm.start();
    }
    if (codes.isEmpty())
        return;
    log(LogLevel::Info, QStringLiteral("handle error: ") + codes.join(QStringLiteral(", ")));
    showAlarm(codes.size() == 1 ? errorHandler.errorCondition(codes.first())
                                : errorHandler.combinedCondition(codes));
}

void TLKestrovanProtocol::onCommunicationErrorOccurred(const TLCondition &_cond)
{
    // Runs in the failing link's thread; a newer link is only made once that thread has ended.
    failedLinkGeneration = linkGeneration.load();
    emit linkFailed();
    {
        TLAnnotatedMutexLocker lock(&statusMutex);
        TLThreadAnnotations::wakeAll(statusArrived);
    }
    if (!statusGeneratorOn())
        return;
    showAlarm(_cond);
    emit communicationErrorOccurred();
}

void TLKestrovanProtocol::handleExposureState(const QByteArray &value)
{
    const TLKestrovanExposureState read = TLKestrovanExposureState::read(value);
    // A truncated value could read as an exposure error or exposure off: act on none of it.
    if (!read.isValid()) {
        logUnusableTelegram(QStringLiteral("EXPOSURE: ignored state of fewer than four characters: ")
                            + QString::fromLatin1(value));
        return;
    }
    const int state = read.state();
    const bool prepareKey = read.prepareKey();
    const bool exposureKey = read.exposureKey();
    log(LogLevel::Trace,
        QStringLiteral("xray key prepare:  %1").arg(read.keys() & TLKestrovanExposureState::PrepareKeyBit));
    log(LogLevel::Trace,
        QStringLiteral("xray key exposure: %1").arg(read.keys() & TLKestrovanExposureState::ExposureKeyBit));
    log(LogLevel::Trace, QStringLiteral("xray state:        %1").arg(state));

    TLXRaySynchronizer *synchronizer = TLSingleton<TLXRaySynchronizer>::getInstance();
    TLXRayExposureStateProvider *provider = TLSingleton<TLXRayExposureStateProvider>::getInstance();

    switch (state) {
    case TLKestrovanExposureState::Break:
        log(LogLevel::Info, QStringLiteral("EXPOSURE: break exposure"));
        // Released before the exposure: exposure off never comes, so polling must start here.
        startStatusPolling();
        return;
    case TLKestrovanExposureState::Error:
        log(LogLevel::Error, QStringLiteral("EXPOSURE: exposure error"));
        provider->setError();
        query(ErrorCode, false);
        synchronizer->setExposureOff(QDateTime());
        provider->setExposureOff();
        provider->setPrepareOff();
        startStatusPolling();
        return;
    case TLKestrovanExposureState::PrepareOn:
        if (!prepareKey)
            return;
        if (!provider->isUnlocked()) {
            log(LogLevel::Warning, QStringLiteral("EXPOSURE: prepare on NOT accepted - system not ready"));
            return;
        }
        if (!synchronizer->waitForDetectorReady(HandshakeTimeoutMs)) {
            log(LogLevel::Warning, QStringLiteral("EXPOSURE: prepare on NOT accepted - detector not ready"));
            return;
        }
        log(LogLevel::Debug,
            QStringLiteral(
                "current generator settings: mode %1, %2 kv, %3 mAs, %4 mA, %5 ms, focus %6, aec %7")
                .arg(mode())
                .arg(kV(), 0, 'g', 6)
                .arg(mAs(), 0, 'g', 6)
                .arg(mA(), 0, 'g', 6)
                .arg(ms(), 0, 'g', 6)
                .arg(focus())
                .arg(aec()));
        log(LogLevel::Info, QStringLiteral("EXPOSURE: prepare on accepted"));
        sendCommand(ExposureRelease, QLatin1String(TLKestrovanExposureState::PrepareAccepted), false);
        return;
    case TLKestrovanExposureState::Prepare:
        if (!prepareKey)
            return;
        log(LogLevel::Info, QStringLiteral("EXPOSURE: prepare state"));
        provider->setPrepareCheck();
        return;
    case TLKestrovanExposureState::PrepareReady:
        if (!prepareKey)
            return;
        log(LogLevel::Info, QStringLiteral("EXPOSURE: prepare ready state"));
        provider->setPrepareOk();
        return;
    case TLKestrovanExposureState::WaitForExposure:
        if (exposureKey) {
            log(LogLevel::Info, QStringLiteral("EXPOSURE: wait for exposure (exposure key on)"));
            synchronizer->exposureButtonPressed();
            stopStatusPolling();
        } else if (prepareKey) {
            log(LogLevel::Info, QStringLiteral("EXPOSURE: wait for exposure (exposure key off)"));
        }
        return;
    case TLKestrovanExposureState::ExposureCheck:
        if (!exposureKey)
            return;
        log(LogLevel::Info, QStringLiteral("EXPOSURE: exposure check signal received"));
        if (synchronizer->waitForOpenXRayWindow(HandshakeTimeoutMs)) {
            log(LogLevel::Info, QStringLiteral("EXPOSURE: exposure check signal accepted"));
            sendCommand(ExposureRelease, QLatin1String(TLKestrovanExposureState::ExposureAccepted), false);
        } else {
            log(LogLevel::Info, QStringLiteral("EXPOSURE: exposure check signal ignored with timeout"));
        }
        return;
    case TLKestrovanExposureState::ExposureWait:
        if (exposureKey)
            log(LogLevel::Info, QStringLiteral("EXPOSURE: exposure wait (wait for devices)"));
        return;
    case TLKestrovanExposureState::ExposureOn:
        if (!exposureKey)
            return;
        log(LogLevel::Info, QStringLiteral("EXPOSURE: exposure on"));
        synchronizer->setExposureOn(QDateTime());
        provider->setExposureOn();
        return;
    case TLKestrovanExposureState::ExposureOff:
        log(LogLevel::Info, QStringLiteral("EXPOSURE: exposure off"));
        synchronizer->setExposureOff(QDateTime());
        provider->setExposureOff();
        provider->setPrepareOff();
        startStatusPolling();
        return;
    default:
        return;
    }
}
