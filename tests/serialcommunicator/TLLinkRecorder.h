#pragma once

#include "TLKestrovanGeneratorSimulator.h"
#include "TLKestrovanSerialCommunicator.h"

#include <QElapsedTimer>

#include <functional>
#include <memory>
#include <mutex>

// A link on the simulator's pseudo-terminal, and what it emits: the signals come from the link
// thread, so each record is taken under a lock and read back as a copy. Hooks run in the link
// thread, as a protocol handler would.
class TLLinkRecorder
{
public:
    explicit TLLinkRecorder(const QString &portName) : link(new TLKestrovanSerialCommunicator(portName))
    {
        clock.start();
        QObject::connect(link.get(), &TLKestrovanSerialCommunicator::messageReceived,
                         [this](const QByteArray &m) {
                             std::function<void(const QByteArray &)> hook;
                             {
                                 std::lock_guard<std::mutex> lock(mutex);
                                 messageList << m;
                                 hook = onMessage;
                             }
                             if (hook)
                                 hook(m);
                         });
        QObject::connect(link.get(), &TLKestrovanSerialCommunicator::errorOccurred,
                         [this](const TLCondition &c) {
                             std::lock_guard<std::mutex> lock(mutex);
                             errorList << c;
                             if (!sendOnError.isEmpty())
                                 link->send(sendOnError, true);
                         });
        QObject::connect(link.get(), &TLKestrovanSerialCommunicator::timeout, [this] {
            std::lock_guard<std::mutex> lock(mutex);
            tickList << clock.elapsed();
        });
    }
    // The link's thread ends before the records it writes to go, and before the pointer its
    // hooks read is reset.
    ~TLLinkRecorder()
    {
        link->stop();
        link->wait();
        link.reset();
    }
    bool start()
    {
        link->start();
        link->waitForOpened();
        return link->state() == TLKestrovanSerialCommunicator::Open;
    }
    QList<QByteArray> messages() const { return copy(messageList); }
    QList<TLCondition> errors() const { return copy(errorList); }
    QList<qint64> ticks() const { return copy(tickList); }

    std::unique_ptr<TLKestrovanSerialCommunicator> link;
    std::function<void(const QByteArray &)> onMessage; // set before start()
    QByteArray sendOnError;                            // set before start()

private:
    template <typename T> T copy(const T &list) const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return list;
    }
    mutable std::mutex mutex;
    QElapsedTimer clock;
    QList<QByteArray> messageList;
    QList<TLCondition> errorList;
    QList<qint64> tickList;
};
