#include "TLSerialLinkRecorder.h"

#include "TLKestrovanSerialCommunicator.h"
#include "TLPseudoTerminal.h"

#include <ctime>
#include <sys/syscall.h>
#include <unistd.h>

namespace {
// Far longer than an echo takes to cross the pseudo-terminal (under 5 ms on a busy machine).
constexpr int EchoWaitMs = 200;

// A copy with a list block of its own, taken under the lock: a copy that shared the block would
// drop its reference later, unlocked, while the link thread grows the list in place.
template <typename T> QList<T> detachedCopy(const QList<T> &list)
{
    QList<T> copy(list);
    copy.detach();
    return copy;
}
} // namespace

TLSerialLinkRecorder::TLSerialLinkRecorder(TLKestrovanSerialCommunicator *link) : link(link)
{
    clock.start();
    QObject::connect(
        link, &TLKestrovanSerialCommunicator::messageReceived, link,
        [this](const QByteArray &data) { onMessage(data); }, Qt::DirectConnection);
    QObject::connect(
        link, &TLKestrovanSerialCommunicator::errorOccurred, link,
        [this](const TLCondition &condition) {
            noteThread();
            QByteArray telegram;
            {
                std::lock_guard<std::mutex> lock(mutex);
                errorList.append(condition);
                telegram = errorTelegram;
            }
            if (!telegram.isEmpty())
                this->link->send(telegram, false);
        },
        Qt::DirectConnection);
    QObject::connect(
        link, &TLKestrovanSerialCommunicator::timeout, link,
        [this]() {
            noteThread();
            std::lock_guard<std::mutex> lock(mutex);
            tickList.append(clock.elapsed());
        },
        Qt::DirectConnection);
}

void TLSerialLinkRecorder::readEchoesOnDelivery(TLPseudoTerminal *master)
{
    std::lock_guard<std::mutex> lock(mutex);
    echoSource = master;
}

void TLSerialLinkRecorder::replyOnDelivery(const QByteArray &bytes, bool waitUntilSent)
{
    std::lock_guard<std::mutex> lock(mutex);
    reply = bytes;
    replyWaits = waitUntilSent;
}

void TLSerialLinkRecorder::sendOnError(const QByteArray &telegram)
{
    std::lock_guard<std::mutex> lock(mutex);
    errorTelegram = telegram;
}

void TLSerialLinkRecorder::onMessage(const QByteArray &data)
{
    noteThread();
    TLPseudoTerminal *source = nullptr;
    QByteArray answer;
    bool answerWaits = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        messageList.append(data);
        source = echoSource;
        answer = reply;
        answerWaits = replyWaits;
    }
    if (source) {
        const QByteArray echoes = source->read(EchoWaitMs);
        std::lock_guard<std::mutex> lock(mutex);
        echoList.append(echoes);
    }
    if (!answer.isEmpty())
        link->send(answer, answerWaits);
}

void TLSerialLinkRecorder::noteThread()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!threadKnown) {
        threadKnown = true;
        threadId = static_cast<pid_t>(::syscall(SYS_gettid));
        threadHandle = ::pthread_self();
    }
}

QList<QByteArray> TLSerialLinkRecorder::messages() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return detachedCopy(messageList);
}

QList<QByteArray> TLSerialLinkRecorder::echoesAtDelivery() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return detachedCopy(echoList);
}

QList<TLCondition> TLSerialLinkRecorder::errors() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return detachedCopy(errorList);
}

int TLSerialLinkRecorder::ticks() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return tickList.size();
}

QList<qint64> TLSerialLinkRecorder::tickTimesMs() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return detachedCopy(tickList);
}

bool TLSerialLinkRecorder::knowsLinkThread() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return threadKnown;
}

pid_t TLSerialLinkRecorder::linkThreadId() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return threadId;
}

double TLSerialLinkRecorder::linkThreadCpuMs() const
{
    pthread_t handle;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!threadKnown)
            return -1.0;
        handle = threadHandle;
    }
    clockid_t cpuClock;
    timespec used{};
    if (::pthread_getcpuclockid(handle, &cpuClock) != 0 || ::clock_gettime(cpuClock, &used) != 0)
        return -1.0;
    return static_cast<double>(used.tv_sec) * 1000.0 + static_cast<double>(used.tv_nsec) / 1e6;
}
