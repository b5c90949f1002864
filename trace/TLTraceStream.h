#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>

class TLTraceDecoder;
class TLTraceReader;

// Reads a trace from a descriptor and decodes it: a file, or a pipe or FIFO into which
// kestrovan-host --trace is writing now. Each line is decoded as soon as it is whole. While a
// trace that is written now stays quiet, the decoder's time goes on with the clock, so that a
// telegram nobody answers is reported when its wait ends, not when the line next carries bytes.
//
// run() blocks; stop() may be called from any thread or from a signal handler.
class TLTraceStream
{
public:
    enum class End { Complete, Stopped, Failed };

    static constexpr int ReadBytes = 65536;
    // How often a quiet input is looked at: for stop() and for the decoder's time.
    static constexpr int TickMs = 100;
    // A trace whose last line was stamped within this of the reading machine's clock is being
    // written now. An older one (a saved file sent through a pipe that stalls) keeps its own time.
    // Generous: a reader that starts late on a busy machine still reads its first lines as live.
    static constexpr qint64 LiveSkewUs = 10000000;
    // The decoder's time stays this far behind the clock: the lines of that moment may still be on
    // their way through the pipe, and a line that comes later than the time it carries would be
    // decoded out of order.
    static constexpr qint64 GraceUs = 1000000;

    explicit TLTraceStream(int fd);

    // Reads to the end of the input, until stop(), or until reading fails (errorString()).
    End run(TLTraceReader &reader, TLTraceDecoder &decoder);
    void stop() { stopped = true; }
    QString errorString() const { return error; }
    // A regular file is read to its current end; anything else may still be written.
    bool isRegularFile() const;

private:
    void split(const char *bytes, int size, TLTraceReader &reader, TLTraceDecoder &decoder);
    void line(const QByteArray &text, TLTraceReader &reader, TLTraceDecoder &decoder);
    void letTimePass(TLTraceDecoder &decoder);

    int fd;
    std::atomic<bool> stopped{false};
    QString error;
    QByteArray pending;    // the start of a line whose end has not come yet
    bool overlong = false; // passing over the rest of a line that is too long
    bool anyChunk = false;
    qint64 lastElapsedUs = 0; // of the last chunk
    qint64 lastReadUs = 0;    // when it was read, on the monotonic clock
    QByteArray lastClock;
    enum class Live { Unknown, Yes, No } live = Live::Unknown;
};
