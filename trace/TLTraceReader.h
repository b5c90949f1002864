#pragma once

#include "TLTraceChunk.h"

#include <QStringList>

class QIODevice;

// Reads the chunks of a trace file (or of standard input) one after the other. Notes and empty
// lines are passed over; lines that are no chunk are skipped and reported, never fatal. When the
// elapsed time runs backwards (traces written one after the other into one file) the later
// chunks are shifted, so that time only goes forward for the decoder.
//
// It reads the lines from a device itself, or is handed them by a caller that reads them
// (a trace that is still being written, see TLTraceStream).
class TLTraceReader
{
public:
    // A longer line is no line of a trace; it is skipped unread.
    static constexpr qint64 MaxLineBytes = 65536;
    // Only the first problems are kept in full; all are counted.
    static constexpr int MaxProblems = 20;
    // Shifted times stop here (some 3,000 years): a trace whose clock jumps back and forth again
    // and again cannot carry them past 64 bits.
    static constexpr qint64 MaxTimeUs = Q_INT64_C(100000000000000000);

    explicit TLTraceReader(QIODevice &input);
    // Handed its lines by take() and passOver().
    TLTraceReader() = default;

    // The next chunk; false at the end of the input.
    bool next(TLTraceChunk &chunk);
    // One line, with or without its line feed: true with its chunk when it is one.
    bool take(QByteArray line, TLTraceChunk &chunk);
    // A line longer than MaxLineBytes, passed over unread.
    void passOver();

    int skippedLines() const { return skipped; }
    QStringList problems() const { return reported; }

private:
    void skip(const QString &why);

    QIODevice *input = nullptr;
    int lineNumber = 0;
    int skipped = 0;
    QStringList reported;
    qint64 lastUs = 0;
    qint64 shiftUs = 0;
};
