#include "TLTraceStream.h"

#include "TLTraceChunk.h"
#include "TLTraceDecoder.h"
#include "TLTraceReader.h"

#include <QDateTime>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
qint64 monotonicUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

qint64 wallUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The wall clock of a chunk ("2025-01-31 12:00:00.123456", local time) as microseconds since the
// epoch; -1 when it is none.
qint64 clockUs(const QByteArray &clock)
{
    const QDateTime time =
        QDateTime::fromString(QString::fromLatin1(clock.left(19)), QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    bool ok = false;
    const qint64 fraction = clock.mid(20).toLongLong(&ok);
    return time.isValid() && ok && clock.size() == 26 ? time.toMSecsSinceEpoch() * 1000 + fraction : -1;
}
} // namespace

TLTraceStream::TLTraceStream(int fd) : fd(fd) {}

bool TLTraceStream::isRegularFile() const
{
    struct stat status
    {};
    return ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
}

TLTraceStream::End TLTraceStream::run(TLTraceReader &reader, TLTraceDecoder &decoder)
{
    QByteArray buffer(ReadBytes, Qt::Uninitialized);
    for (;;) {
        if (stopped)
            return End::Stopped;
        pollfd input{fd, POLLIN, 0};
        const int ready = ::poll(&input, 1, TickMs);
        if (ready < 0 && errno != EINTR) {
            error = QString::fromLocal8Bit(std::strerror(errno));
            return End::Failed;
        }
        if (ready <= 0) {
            letTimePass(decoder);
            continue;
        }
        const ssize_t read = ::read(fd, buffer.data(), static_cast<size_t>(buffer.size()));
        if (read < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            error = QString::fromLocal8Bit(std::strerror(errno));
            return End::Failed;
        }
        if (read == 0) {
            // The last line may lack its line feed.
            if (!pending.isEmpty() && !overlong)
                line(pending, reader, decoder);
            pending.clear();
            return End::Complete;
        }
        split(buffer.constData(), static_cast<int>(read), reader, decoder);
    }
}

void TLTraceStream::split(const char *bytes, int size, TLTraceReader &reader, TLTraceDecoder &decoder)
{
    int from = 0;
    while (from < size) {
        const void *found = std::memchr(bytes + from, '\n', static_cast<size_t>(size - from));
        if (!found)
            break;
        const int end = static_cast<int>(static_cast<const char *>(found) - bytes);
        if (overlong) {
            overlong = false; // its line feed has come
        } else {
            pending.append(bytes + from, end - from);
            line(pending, reader, decoder);
        }
        pending.clear();
        from = end + 1;
    }
    if (overlong)
        return;
    pending.append(bytes + from, size - from);
    // As TLTraceReader::next() does: a line of this length is no line of a trace.
    if (pending.size() >= TLTraceReader::MaxLineBytes - 1) {
        reader.passOver();
        pending.clear();
        overlong = true;
    }
}

void TLTraceStream::line(const QByteArray &text, TLTraceReader &reader, TLTraceDecoder &decoder)
{
    if (text.size() >= TLTraceReader::MaxLineBytes - 1) {
        reader.passOver();
        return;
    }
    TLTraceChunk chunk;
    if (!reader.take(text, chunk))
        return;
    decoder.feed(chunk);
    anyChunk = true;
    lastElapsedUs = chunk.elapsedUs;
    lastReadUs = monotonicUs();
    lastClock = chunk.clock;
    live = Live::Unknown;
}

void TLTraceStream::letTimePass(TLTraceDecoder &decoder)
{
    if (!anyChunk)
        return;
    const qint64 quietUs = monotonicUs() - lastReadUs;
    if (quietUs <= GraceUs)
        return;
    if (live == Live::Unknown) {
        // Judged once per line, and only when the input has gone quiet: a saved trace read at
        // full speed is never asked.
        const qint64 stamped = clockUs(lastClock);
        live = stamped >= 0 && std::abs(wallUs() - quietUs - stamped) <= LiveSkewUs ? Live::Yes : Live::No;
    }
    if (live == Live::Yes)
        decoder.advance(lastElapsedUs + quietUs - GraceUs);
}
