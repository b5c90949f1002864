#include "TLSerialTestRig.h"

#include <QElapsedTimer>

namespace {
constexpr int ReadSliceMs = 10;
} // namespace

TLSerialTestRig::TLSerialTestRig() = default;

TLSerialTestRig::~TLSerialTestRig()
{
    link.reset();
}

bool TLSerialTestRig::start()
{
    if (!master.isOpen() && !master.open())
        return false;
    link.reset(new TLKestrovanSerialCommunicator(master.slavePath()));
    recorder.reset(new TLSerialLinkRecorder(link.data()));
    link->start();
    link->waitForOpened();
    return link->state() == TLKestrovanSerialCommunicator::Open;
}

QByteArray TLSerialTestRig::readMasterUntil(const QByteArray &expected, int timeoutMs)
{
    QByteArray seen;
    QElapsedTimer clock;
    clock.start();
    while (!seen.contains(expected) && clock.elapsed() < timeoutMs)
        seen.append(master.read(ReadSliceMs));
    return seen;
}

QByteArray TLSerialTestRig::readMasterFor(int milliseconds)
{
    QByteArray seen;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < milliseconds)
        seen.append(master.read(ReadSliceMs));
    return seen;
}
