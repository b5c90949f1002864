#pragma once

#include <QByteArray>

// One read of the serial line as a trace keeps it: which way the bytes went, when, and the bytes.
// A trace file holds one chunk a line,
//
//   2025-01-31 12:00:00.123456 +0.004021 TX  5 | 6b 76 37 30 9a | kv70.
//
// wall clock, seconds since the recording began, direction (TX: host to generator, RX: generator
// to host), byte count, the bytes in hexadecimal and a printable form; lines starting with '#'
// are notes.
class TLTraceChunk
{
public:
    enum class Direction { Tx, Rx };

    Direction direction = Direction::Tx;
    qint64 elapsedUs = 0;
    QByteArray clock; // "2025-01-31 12:00:00.123456"; may be empty
    QByteArray bytes;

    // The trace line of this chunk, without its line feed.
    QByteArray line() const;
    // Reads a trace line; false (with a reason) when it is no chunk line.
    static bool parse(const QByteArray &line, TLTraceChunk &chunk, QByteArray &reason);
    // The local wall clock now, in the form of the clock field.
    static QByteArray wallClock();
    // The same for a moment in microseconds since the epoch.
    static QByteArray wallClock(qint64 epochUs);
    static const char *directionName(Direction direction);
};
