#include "TLTraceChunk.h"

#include <QList>

#include <cstring>
#include <ctime>
#include <sys/time.h>

namespace {
constexpr qint64 MicrosecondsPerSecond = 1000000;
// Fields before the first " | ": date, time, elapsed, direction, count.
constexpr int HeadFields = 5;
// Far beyond any recording (about 31 years), and small enough that sums of times stay in 64 bits.
constexpr qint64 MaxElapsedSeconds = 1000000000;

bool isHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// "+12.345678" as microseconds; false when it is no such number.
bool parseElapsed(const QByteArray &field, qint64 &us)
{
    if (!field.startsWith('+'))
        return false;
    const int dot = field.indexOf('.');
    const QByteArray whole = field.mid(1, dot < 0 ? -1 : dot - 1);
    const QByteArray fraction = dot < 0 ? QByteArray() : field.mid(dot + 1);
    bool wholeOk = false;
    const qint64 seconds = whole.toLongLong(&wholeOk);
    if (!wholeOk || seconds < 0 || seconds > MaxElapsedSeconds || fraction.size() > 6)
        return false;
    qint64 micro = 0;
    if (!fraction.isEmpty()) {
        bool fractionOk = false;
        micro = fraction.leftJustified(6, '0').toLongLong(&fractionOk);
        if (!fractionOk || fraction.startsWith('-') || fraction.startsWith('+'))
            return false;
    }
    us = seconds * MicrosecondsPerSecond + micro;
    return true;
}
} // namespace

QByteArray TLTraceChunk::line() const
{
    QByteArray printable = bytes;
    for (char &c : printable) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e)
            c = '.';
    }
    const QByteArray elapsed = QByteArray::number(elapsedUs / MicrosecondsPerSecond) + '.'
                               + QByteArray::number(elapsedUs % MicrosecondsPerSecond).rightJustified(6, '0');
    return clock + " +" + elapsed + ' ' + directionName(direction) + ' '
           + QByteArray::number(bytes.size()).rightJustified(2, ' ') + " | " + bytes.toHex(' ') + " | "
           + printable;
}

bool TLTraceChunk::parse(const QByteArray &line, TLTraceChunk &chunk, QByteArray &reason)
{
    const int bar = line.indexOf(" | ");
    if (bar < 0) {
        reason = "no \" | \" after the head of the line";
        return false;
    }
    const QList<QByteArray> head = line.left(bar).simplified().split(' ');
    if (head.size() != HeadFields) {
        reason = "the head is not \"date time +seconds TX|RX count\"";
        return false;
    }
    TLTraceChunk read;
    read.clock = head.at(0) + ' ' + head.at(1);
    if (!parseElapsed(head.at(2), read.elapsedUs)) {
        reason = "no elapsed time \"+seconds\"";
        return false;
    }
    if (head.at(3) == "TX") {
        read.direction = Direction::Tx;
    } else if (head.at(3) == "RX") {
        read.direction = Direction::Rx;
    } else {
        reason = "the direction is neither TX nor RX";
        return false;
    }
    bool countOk = false;
    const int count = head.at(4).toInt(&countOk);
    // The bytes are "xx" each, separated by blanks; the printable form after them is not read,
    // as it may itself hold " | ".
    const QByteArray rest = line.mid(bar + 3);
    // Checked before it is multiplied: a count near the largest int would wrap around.
    if (!countOk || count <= 0 || count > (rest.size() + 1) / 3) {
        reason = "the byte count does not match the bytes";
        return false;
    }
    const int hexLength = count * 3 - 1;
    for (int i = 0; i < hexLength; ++i) {
        const bool separator = i % 3 == 2;
        if (separator ? rest.at(i) != ' ' : !isHexDigit(rest.at(i))) {
            reason = "the bytes are not hexadecimal pairs separated by blanks";
            return false;
        }
    }
    // After the bytes only the bar before the printable form may follow (or nothing): a blank
    // alone would let the bytes beyond the count be dropped unseen.
    const QByteArray after = rest.mid(hexLength);
    if (!after.trimmed().isEmpty() && !after.startsWith(" |")) {
        reason = "more bytes than the count says";
        return false;
    }
    read.bytes = QByteArray::fromHex(rest.left(hexLength));
    chunk = read;
    return true;
}

QByteArray TLTraceChunk::wallClock()
{
    timeval now{};
    ::gettimeofday(&now, nullptr);
    return wallClock(static_cast<qint64>(now.tv_sec) * MicrosecondsPerSecond + now.tv_usec);
}

QByteArray TLTraceChunk::wallClock(qint64 epochUs)
{
    const time_t seconds = static_cast<time_t>(epochUs / MicrosecondsPerSecond);
    tm local{};
    ::localtime_r(&seconds, &local);
    char text[40];
    const size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return QByteArray(text, static_cast<int>(length)) + '.'
           + QByteArray::number(epochUs % MicrosecondsPerSecond).rightJustified(6, '0');
}

const char *TLTraceChunk::directionName(Direction direction)
{
    return direction == Direction::Tx ? "TX" : "RX";
}
