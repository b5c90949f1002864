#pragma once

#include <QByteArray>
#include <QList>

#include <atomic>
#include <mutex>
#include <thread>

class TLPseudoTerminal;

// The far end of the cable in a thread of its own: it reads the master, and after a delay
// acknowledges every complete telegram by echoing its terminator. Needed where the test's own
// thread is blocked in the link (send until sent, stop). While it runs nobody else may read
// the master.
class TLGeneratorEcho
{
public:
    TLGeneratorEcho(TLPseudoTerminal &master, int ackDelayMs);
    ~TLGeneratorEcho();
    TLGeneratorEcho(const TLGeneratorEcho &) = delete;
    TLGeneratorEcho &operator=(const TLGeneratorEcho &) = delete;

    // Telegrams received so far, terminator included, in order.
    QList<QByteArray> telegrams() const;

private:
    void run();

    TLPseudoTerminal &master;
    const int ackDelayMs;
    std::atomic<bool> finish{false};
    mutable std::mutex mutex;
    QList<QByteArray> received;
    std::thread worker;
};
