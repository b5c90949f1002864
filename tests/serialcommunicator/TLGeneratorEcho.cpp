#include "TLGeneratorEcho.h"

#include "TLPseudoTerminal.h"

#include <chrono>

namespace {
constexpr int PollMs = 10;
} // namespace

TLGeneratorEcho::TLGeneratorEcho(TLPseudoTerminal &master, int ackDelayMs)
    : master(master), ackDelayMs(ackDelayMs), worker([this]() { run(); })
{
}

TLGeneratorEcho::~TLGeneratorEcho()
{
    finish = true;
    worker.join();
}

QList<QByteArray> TLGeneratorEcho::telegrams() const
{
    std::lock_guard<std::mutex> lock(mutex);
    // A block of its own: sharing it would let the caller drop its reference unlocked while
    // the worker grows the list in place.
    QList<QByteArray> copy(received);
    copy.detach();
    return copy;
}

void TLGeneratorEcho::run()
{
    QByteArray piece;
    while (!finish) {
        const QByteArray bytes = master.read(PollMs);
        for (const char byte : bytes) {
            piece.append(byte);
            if (static_cast<unsigned char>(byte) < 0x80)
                continue;
            {
                std::lock_guard<std::mutex> lock(mutex);
                received.append(piece);
            }
            piece.clear();
            std::this_thread::sleep_for(std::chrono::milliseconds(ackDelayMs));
            master.write(QByteArray(1, byte));
        }
    }
}
