// Feeds arbitrary bytes, split into arbitrary bursts, through the link's cutting of received
// bytes into telegrams, and tests the acknowledgement check on what comes out. Besides
// crashes and sanitizer findings, it traps when a result breaks what the receive path relies
// on.
//
// Input: the burst lengths are taken one byte each from the end of the input, the burst bytes
// from its front, so that a mutation of the stream leaves the split in place and vice versa.

#include "TLKestrovanTelegram.h"

#include <QByteArray>
#include <QList>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>

namespace {
// Longest burst one receive step is given here; the link's real bursts are a few telegrams.
constexpr size_t MaxBurstBytes = 96;
// How many earlier pieces each lone terminator is tried against as an acknowledgement.
constexpr int AcknowledgementPartners = 8;
// The terminator bit is written out again on purpose: an independent copy of the wire's rule.
constexpr quint8 TerminatorBit = 0x80;

void require(bool holds)
{
    if (!holds)
        __builtin_trap();
}

bool isTerminator(char byte)
{
    return (static_cast<quint8>(byte) & TerminatorBit) != 0;
}

// The acknowledgement as the wire defines it, written out here rather than taken from the
// communicator: a message starting with a terminator that equals the telegram's last byte.
bool acknowledges(const QByteArray &message, const QByteArray &telegram)
{
    return !message.isEmpty() && !telegram.isEmpty() && isTerminator(message.front())
           && message.front() == telegram.back();
}

int lastTerminator(const QByteArray &bytes)
{
    for (int i = bytes.size() - 1; i >= 0; --i) {
        if (isTerminator(bytes.at(i)))
            return i;
    }
    return -1;
}

// The pieces cut from one burst, appended to queue from index first on: each ends at its only
// terminator, there is one per terminator of the burst, and together they are the burst up to
// its last terminator. What follows that terminator is dropped, so holds no terminator.
void checkCut(const QByteArray &burst, const QList<QByteArray> &queue, int first)
{
    int terminators = 0;
    for (const char byte : burst)
        terminators += isTerminator(byte) ? 1 : 0;
    require(queue.size() - first == terminators);

    QByteArray joined;
    for (int i = first; i < queue.size(); ++i) {
        const QByteArray &piece = queue.at(i);
        require(!piece.isEmpty());
        require(isTerminator(piece.back()));
        for (int j = 0; j + 1 < piece.size(); ++j)
            require(!isTerminator(piece.at(j)));
        joined += piece;
    }
    const int kept = lastTerminator(burst) + 1;
    require(joined == burst.left(kept));
}

// A lone terminator acknowledges exactly the telegrams that end in it; a longer piece starts
// with a 7-bit byte and so acknowledges nothing, while its own terminator, echoed, does.
void checkAcknowledgements(const QList<QByteArray> &pieces)
{
    for (int i = 0; i < pieces.size(); ++i) {
        const QByteArray &piece = pieces.at(i);
        require(!TLKestrovanTelegram::isAcknowledgement(QByteArray(), piece));
        require(!TLKestrovanTelegram::isAcknowledgement(piece, QByteArray()));
        require(TLKestrovanTelegram::isAcknowledgement(QByteArray(1, piece.back()), piece));
        if (piece.size() >= 2)
            require(!TLKestrovanTelegram::isAcknowledgement(piece, piece));
        for (int j = qMax(0, i - AcknowledgementPartners); j < i; ++j) {
            const QByteArray &other = pieces.at(j);
            require(TLKestrovanTelegram::isAcknowledgement(piece, other)
                    == (piece.size() == 1 && piece.back() == other.back()));
            require(TLKestrovanTelegram::isAcknowledgement(other, piece)
                    == (other.size() == 1 && other.back() == piece.back()));
        }
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);
    QList<QByteArray> bursts;
    while (input.remaining_bytes() > 0) {
        const size_t length = input.ConsumeIntegralInRange<size_t>(0, MaxBurstBytes);
        const std::vector<char> bytes = input.ConsumeBytes<char>(length);
        bursts.append(QByteArray(bytes.data(), static_cast<int>(bytes.size())));
    }

    // Burst by burst, as the receive step cuts them, into one queue.
    QList<QByteArray> queue;
    QByteArray stream;
    for (const QByteArray &burst : bursts) {
        const int first = queue.size();
        const TLKestrovanTelegram::Cut cut = TLKestrovanTelegram::cut(burst);
        queue.append(cut.pieces);
        checkCut(burst, queue, first);
        require(cut.rest == burst.mid(lastTerminator(burst) + 1));
        stream += burst;
    }
    checkAcknowledgements(queue);

    // The same bytes in one burst: each terminator still ends one piece, and a split can only
    // drop the 7-bit bytes that began a piece at the end of a burst, so every piece of the
    // split stream is the end of the piece that one burst gives.
    const QList<QByteArray> whole = TLKestrovanTelegram::cut(stream).pieces;
    checkCut(stream, whole, 0);
    require(whole.size() == queue.size());
    for (int i = 0; i < whole.size(); ++i)
        require(whole.at(i).endsWith(queue.at(i)));

    // Arbitrary bytes against arbitrary bytes, not only cut pieces: the check must agree with
    // the wire's rule whatever the receive step hands it.
    if (bursts.size() >= 2) {
        for (int i = 1; i < bursts.size(); ++i)
            require(TLKestrovanTelegram::isAcknowledgement(bursts.at(i - 1), bursts.at(i))
                    == acknowledges(bursts.at(i - 1), bursts.at(i)));
    }
    return 0;
}
