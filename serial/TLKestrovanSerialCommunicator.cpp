#include "TLKestrovanSerialCommunicator.h"

#include "KestrovanLog.h"
#include "KestrovanTiming.h"
#include "TLAnnotatedMutexLocker.h"
#include "TLKestrovanTelegram.h"
#include "TLThreadAnnotations.h"

#include <QElapsedTimer>
#include <QSerialPort>
#include <QVector>

#include <algorithm>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {
// How long the owner sleeps at most while its telegram is queued, and while it waits for the
// opening or the stop.
constexpr unsigned long SendPollMs = 50;
constexpr unsigned long OwnerPollMs = 500;

// A busy line ends a collection after about the time the longest telegram takes on the wire
// (31 bytes of 10 bits at 38400 baud: 8.1 ms), so that queued telegrams, acknowledgements and
// the poll still get their turn; a telegram cut off by it is finished by the next collection.
constexpr qint64 MaxCollectMs = 10;
// And after this many bytes, which a line at memory speed brings sooner.
constexpr int MaxCollectBytes = 1024;
// What the port has buffered beyond this when a collection begins comes faster than any
// generator talks; it is dropped unread, so that memory stays bounded. (Bounding the port's
// own buffer instead would make its waits for written bytes fail.)
constexpr qint64 MaxBufferedBytes = 4 * MaxCollectBytes;
// Telegrams that arrive while a transmission waits for its echo are kept for the loop up to this
// number; more are left unacknowledged, so their sender writes them again.
constexpr int MaxSetAside = 256;
// What a noisy line costs is logged at most this often, in one line: often enough to see a
// flood begin and end, seldom enough that a lasting one stays a few lines a minute.
constexpr qint64 NoiseReportMs = 2000;
// Acknowledgement delays kept for the median.
constexpr int AckDelaySamples = 256;
} // namespace

TLKestrovanSerialCommunicator::TLKestrovanSerialCommunicator(const QString &portName, QObject *parent)
    : QThread(parent), portName(portName)
{
    setObjectName(QStringLiteral("KestrovanSerialCommunicator"));
    queuedEvent = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

TLKestrovanSerialCommunicator::~TLKestrovanSerialCommunicator()
{
    stopRequested = true;
    // Deleting a running QThread aborts; from its own thread we cannot wait, though.
    if (!isOwnThread()) {
        wait();
        TLThreadAnnotations::joined(this);
    }
    if (queuedEvent >= 0)
        ::close(queuedEvent);
}

void TLKestrovanSerialCommunicator::waitForOpened()
{
    if (isOwnThread())
        return;
    for (;;) {
        {
            // Every change of state wakes us, so an opening is seen the moment it is decided.
            TLAnnotatedMutexLocker locker(&progressMutex);
            const LinkState current = m_state;
            if (current == Open || current == Failed)
                return;
            TLThreadAnnotations::wait(progressed, progressMutex, OwnerPollMs);
        }
        const LinkState current = m_state;
        if (current == Open || current == Failed)
            return;
        const bool finished = wait(0);
        if (finished)
            TLThreadAnnotations::joined(this);
        if (current == Closed && !lastCondition().isSuccess())
            return;
        // A thread that has ended (or was never started) will not open anything any more.
        if (finished && m_state == Closed)
            return;
    }
}

TLKestrovanSerialCommunicator::LinkState TLKestrovanSerialCommunicator::state() const
{
    return m_state;
}

TLCondition TLKestrovanSerialCommunicator::lastCondition() const
{
    std::lock_guard<std::mutex> lock(conditionMutex);
    return m_lastCondition;
}

bool TLKestrovanSerialCommunicator::isOpen() const
{
    std::lock_guard<std::mutex> lock(portMutex);
    return port && port->isOpen();
}

// The link's interface takes the telegram by value. Copying a QByteArray only shares its bytes,
// and Qt 5's QList cannot take it by move, so there is nothing to gain from a reference either.
// NOLINTNEXTLINE(performance-unnecessary-value-param)
void TLKestrovanSerialCommunicator::send(QByteArray telegram, bool waitUntilSent)
{
    // lastCondition is the owner's result: a handler in the link thread that queues a telegram
    // must not wipe a failure the owner has yet to read.
    const bool ownThread = isOwnThread();
    if (!ownThread)
        setLastCondition(TLCondition());
    {
        TLAnnotatedMutexLocker locker(&mutex);
        sendQueue.append(telegram);
        queuedTelegrams = sendQueue.size();
    }
    signalQueued();
    // The loop that would write the telegram is the caller itself: waiting could never end.
    if (!waitUntilSent || ownThread)
        return;
    // The loop wakes us as each telegram leaves the queue and when the link stops being open;
    // the time limit only bounds a single sleep.
    TLAnnotatedMutexLocker locker(&progressMutex);
    while (queuedTelegrams > 0 && m_state == Open)
        TLThreadAnnotations::wait(progressed, progressMutex, SendPollMs);
}

void TLKestrovanSerialCommunicator::signalQueued()
{
    if (queuedEvent < 0)
        return;
    const quint64 one = 1;
    // A full counter (never in practice) still leaves the descriptor readable: nothing to do.
    [[maybe_unused]] const ssize_t written = ::write(queuedEvent, &one, sizeof one);
}

void TLKestrovanSerialCommunicator::signalProgress()
{
    TLAnnotatedMutexLocker locker(&progressMutex);
    TLThreadAnnotations::wakeAll(progressed);
}

void TLKestrovanSerialCommunicator::setState(LinkState state)
{
    m_state = state;
    signalProgress();
}

void TLKestrovanSerialCommunicator::setTimeoutInterval(const qint64 &milliseconds)
{
    timeoutInterval = milliseconds;
}

void TLKestrovanSerialCommunicator::stop()
{
    stopRequested = true;
    if (isOwnThread())
        return;
    for (;;) {
        const LinkState current = m_state;
        if (current == Closed || current == Failed)
            return;
        if (wait(OwnerPollMs))
            TLThreadAnnotations::joined(this);
    }
}

void TLKestrovanSerialCommunicator::run()
{
    openPort();
    lineClock.start();
    QElapsedTimer tickClock;
    tickClock.start();

    do {
        TLCondition failure;
        bool transmitted = false;
        {
            TLAnnotatedMutexLocker locker(&mutex);
            // After a failed opening nothing queued is ever written.
            if (!sendQueue.isEmpty() && m_state != Failed) {
                const QByteArray telegram = sendQueue.first();
                failure = transmit(telegram);
                sendQueue.removeFirst();
                queuedTelegrams = sendQueue.size();
                transmitted = true;
            }
        }
        // Reported with mutex released: a directly connected handler may still call send().
        if (!failure.isSuccess()) {
            emit errorOccurred(failure);
            setState(Failed);
        } else if (transmitted) {
            signalProgress();
        }
        // What arrived during the transmission goes first, in arrival order.
        if (!setAside.isEmpty()) {
            receivedQueue = setAside + receivedQueue;
            setAside.clear();
        }

        do {
            receiveTelegram(true);
            if (message.size() >= TLKestrovanTelegram::MinBytes) {
                writeBytes(message.right(1));
                emit messageReceived(message);
            }
            message.clear();
        } while (!receivedQueue.isEmpty());
        reportNoiseIfDue();

        const qint64 interval = timeoutInterval;
        if (interval > 0 && tickClock.elapsed() > interval) {
            emit timeout();
            tickClock.restart();
        }

        if (stopRequested) {
            TLAnnotatedMutexLocker locker(&mutex);
            if (sendQueue.isEmpty())
                break;
        }
    } while (m_state != Failed);

    closePort();
    setState(Closed);
    TLThreadAnnotations::finishing(this);
}

void TLKestrovanSerialCommunicator::openPort()
{
    m_state = Opening;
    setLastCondition(TLCondition());

    auto *serial = new QSerialPort(); // no parent: the owner lives in another thread
    serial->setPortName(portName);
    serial->setBaudRate(Kestrovan::BaudRate, QSerialPort::AllDirections);
    serial->setDataBits(QSerialPort::Data8);
    serial->setFlowControl(QSerialPort::NoFlowControl);
    serial->setParity(QSerialPort::NoParity);
    serial->setStopBits(QSerialPort::OneStop);

    bool opened = false;
    {
        std::lock_guard<std::mutex> lock(portMutex);
        port = serial;
        opened = port->open(QIODevice::ReadWrite);
        // The port keeps what arrived before we opened it; that is not for us.
        if (opened)
            port->clear();
    }
    if (opened) {
        setState(Open);
    } else {
        setLastCondition(TLCondition::error(tr("Fehler beim Öffnen des COM-Ports %1").arg(portName),
                                            serial->errorString()));
        setState(Failed);
    }
}

void TLKestrovanSerialCommunicator::closePort()
{
    std::lock_guard<std::mutex> lock(portMutex);
    if (port) {
        port->close();
        delete port;
        port = nullptr;
    }
}

void TLKestrovanSerialCommunicator::receiveTelegram(bool wakeOnSend)
{
    message.clear();
    if (receivedQueue.isEmpty()) {
        if (!port->isOpen())
            return;
        cutter.expire(lineClock.elapsed());
        const qint64 excess = port->bytesAvailable() - MaxBufferedBytes;
        if (excess > 0)
            cutter.skip(port->skip(excess));
        QByteArray collected;
        QElapsedTimer collecting;
        collecting.start();
        for (;;) {
            if (!collected.isEmpty()
                && (collecting.elapsed() >= MaxCollectMs || collected.size() >= MaxCollectBytes))
                break;
            // Bytes that an earlier wait already fetched need no new wait. Only a wait with
            // nothing collected yet may give way to a queued telegram: a reply half in must
            // not be cut off.
            if (port->bytesAvailable() == 0 && waitForInput(wakeOnSend && collected.isEmpty()))
                return;
            const QByteArray bytes = port->read(MaxCollectBytes - collected.size());
            if (bytes.isEmpty())
                break;
            collected.append(bytes);
        }
        // Unfinished bytes wait in the cutter for the rest of their telegram.
        receivedQueue.append(cutter.feed(collected, lineClock.elapsed()));
        if (receivedQueue.isEmpty())
            return;
    }
    message = receivedQueue.takeFirst();
}

void TLKestrovanSerialCommunicator::reportNoiseIfDue()
{
    const qint64 damaged = cutter.damagedTelegrams();
    const qint64 noise = cutter.noiseBytes();
    if (damaged == reportedDamaged && noise == reportedNoise && droppedSetAside == reportedDropped)
        return;
    {
        std::lock_guard<std::mutex> lock(healthMutex);
        m_health.damagedTelegrams = damaged;
        m_health.noiseBytes = noise;
        m_health.droppedTelegrams = droppedSetAside;
    }
    if (noiseReported.isValid() && noiseReported.elapsed() < NoiseReportMs)
        return;
    KestrovanLog::log(LogLevel::Warning,
                      QStringLiteral("noise on the line: %1 damaged telegrams, %2 bytes of noise and %3 "
                                     "unacknowledged telegrams dropped")
                          .arg(damaged - reportedDamaged)
                          .arg(noise - reportedNoise)
                          .arg(droppedSetAside - reportedDropped));
    reportedDamaged = damaged;
    reportedNoise = noise;
    reportedDropped = droppedSetAside;
    noiseReported.start();
}

bool TLKestrovanSerialCommunicator::waitForInput(bool wakeOnSend)
{
    QElapsedTimer clock;
    clock.start();
    if (wakeOnSend && queuedEvent >= 0) {
        pollfd watched[2] = {{static_cast<int>(port->handle()), POLLIN, 0}, {queuedEvent, POLLIN, 0}};
        ::poll(watched, 2, Kestrovan::ReadWaitMs);
        if (watched[1].revents & POLLIN) {
            quint64 count = 0;
            [[maybe_unused]] const ssize_t read = ::read(queuedEvent, &count, sizeof count);
            return true;
        }
        // Whatever the port has is fetched without a further wait.
        port->waitForReadyRead(0);
    } else {
        port->waitForReadyRead(Kestrovan::ReadWaitMs);
    }
    // A port whose far end hung up reports "ready" at once, again and again, with nothing to
    // read: wait out the rest of the time, or the loop would spin a core.
    if (port->bytesAvailable() == 0) {
        const qint64 rest = Kestrovan::ReadWaitMs - clock.elapsed();
        if (rest > 0)
            QThread::msleep(static_cast<unsigned long>(rest));
    }
    return false;
}

TLCondition TLKestrovanSerialCommunicator::writeBytes(const QByteArray &bytes)
{
    // An earlier read time-out must not pass for the reason of this write's failure.
    port->clearError();
    const qint64 written = port->write(bytes);
    if (written == -1)
        return TLCondition::error(tr("Fehler beim Schreiben auf COM-Port %1.").arg(portName),
                                  port->errorString());
    if (written < bytes.size())
        return TLCondition::error(
            tr("Es konnten nicht alle Daten auf COM-Port %1 gesendet werden.").arg(portName),
            port->errorString());
    if (!port->waitForBytesWritten(Kestrovan::WriteWaitMs))
        return TLCondition::error(
            tr("Timeout oder Fehler beim Senden der Daten auf COM-Port %1.").arg(portName),
            port->errorString());
    return TLCondition();
}

TLCondition TLKestrovanSerialCommunicator::transmit(const QByteArray &telegram)
{
    QElapsedTimer overall;
    overall.start();
    TLCondition result;
    int writes = 0;
    do {
        result = writeBytes(telegram);
        countWrite(writes++ > 0);
        QElapsedTimer window;
        window.start();
        do {
            receiveTelegram();
            if (message.isEmpty())
                continue;
            if (TLKestrovanTelegram::isAcknowledgement(message, telegram)) {
                message.clear();
                recordAcknowledgement(overall.elapsed());
                return TLCondition();
            }
            if (setAside.size() < MaxSetAside)
                setAside.append(message);
            else if (message.size() >= TLKestrovanTelegram::MinBytes)
                ++droppedSetAside;
            message.clear();
        } while (window.elapsed() <= Kestrovan::AckWindowMs);
    } while (overall.elapsed() <= Kestrovan::GiveUpMs);

    if (result.isSuccess())
        result = TLCondition::error(tr("Es trat ein Fehler bei der Kommunikation mit dem Generator auf."),
                                    QString());
    {
        std::lock_guard<std::mutex> lock(healthMutex);
        ++m_health.givenUp;
    }
    setLastCondition(result);
    return result;
}

void TLKestrovanSerialCommunicator::countWrite(bool again)
{
    std::lock_guard<std::mutex> lock(healthMutex);
    ++(again ? m_health.writtenAgain : m_health.written);
}

void TLKestrovanSerialCommunicator::recordAcknowledgement(qint64 delayMs)
{
    std::lock_guard<std::mutex> lock(healthMutex);
    if (ackDelays.size() >= AckDelaySamples)
        ackDelays.removeFirst();
    ackDelays.append(delayMs);
    m_health.ackDelayMaxMs = qMax(m_health.ackDelayMaxMs, delayMs);
}

TLKestrovanSerialCommunicator::Health TLKestrovanSerialCommunicator::health() const
{
    std::lock_guard<std::mutex> lock(healthMutex);
    Health copy = m_health;
    if (!ackDelays.isEmpty()) {
        QVector<qint64> sorted = ackDelays;
        std::sort(sorted.begin(), sorted.end());
        copy.ackDelayMedianMs = sorted.at(sorted.size() / 2);
    }
    return copy;
}

void TLKestrovanSerialCommunicator::setLastCondition(const TLCondition &condition)
{
    std::lock_guard<std::mutex> lock(conditionMutex);
    m_lastCondition = condition;
}

bool TLKestrovanSerialCommunicator::isOwnThread() const
{
    return QThread::currentThread() == this;
}
