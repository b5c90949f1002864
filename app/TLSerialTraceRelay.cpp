#include "TLSerialTraceRelay.h"

#include "TLTraceChunk.h"
#include "TLTraceTap.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <system_error>

#include <poll.h>
#include <unistd.h>

namespace {
// strerror is not safe across threads; the relay runs in its own.
QByteArray errnoText()
{
    return QByteArray::fromStdString(std::generic_category().message(errno));
}

QString systemError(const char *what, const QString &path = QString())
{
    const QString reason = QString::fromLocal8Bit(errnoText().constData());
    return path.isEmpty() ? QStringLiteral("%1: %2").arg(QLatin1String(what), reason)
                          : QStringLiteral("%1 %2: %3").arg(QLatin1String(what), path, reason);
}

void closeFd(int &fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}
} // namespace

TLSerialTraceRelay::TLSerialTraceRelay() = default;

TLSerialTraceRelay::~TLSerialTraceRelay()
{
    stop();
}

bool TLSerialTraceRelay::fail(const QString &text)
{
    error = text;
    closeAll();
    return false;
}

bool TLSerialTraceRelay::start(const QString &portPath, const QString &traceFilePath)
{
    stop();
    error.clear();

    trace = std::fopen(QFile::encodeName(traceFilePath).constData(), "w");
    if (!trace)
        return fail(systemError("cannot write the trace file", traceFilePath));

    port = ::open(QFile::encodeName(portPath).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (port < 0)
        return fail(systemError("cannot open the serial port", portPath));
    QString why;
    if (!TLTraceTap::configurePort(port, why))
        return fail(QStringLiteral("cannot set 38400 8N1 on %1: %2").arg(portPath, why));

    master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
        return fail(systemError("cannot open a pseudo-terminal"));
    char name[128];
    if (::ptsname_r(master, name, sizeof name) != 0)
        return fail(systemError("cannot name the pseudo-terminal"));
    slave = QString::fromLocal8Bit(name);
    // Raw on the master sets the line discipline of both ends: no echo, no XON/XOFF, 8 bits;
    // like the port, it is read without blocking.
    if (!TLTraceTap::configurePort(master, why))
        return fail(QStringLiteral("cannot make the pseudo-terminal raw: %1").arg(why));
    slaveKeeper = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (slaveKeeper < 0)
        return fail(systemError("cannot open", slave));

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0)
        return fail(systemError("cannot make a pipe"));
    wakeRead = pipeFds[0];
    wakeWrite = pipeFds[1];

    startTime = std::chrono::steady_clock::now();
    sentToPort = 0;
    receivedFromPort = 0;
    note("# kestrovan-host serial trace: driver side " + QFile::encodeName(slave) + ", port "
         + QFile::encodeName(portPath) + " (TX: driver to port, RX: port to driver)");
    thread = std::thread([this] { run(); });
    return true;
}

void TLSerialTraceRelay::stop()
{
    if (thread.joinable()) {
        const char wake = 1;
        if (::write(wakeWrite, &wake, 1) < 0) {
            // The pipe is non-blocking and nearly empty; nothing else can go wrong here.
        }
        thread.join();
    }
    closeAll();
}

void TLSerialTraceRelay::closeAll()
{
    closeFd(master);
    closeFd(slaveKeeper);
    closeFd(port);
    closeFd(wakeRead);
    closeFd(wakeWrite);
    if (trace) {
        std::fclose(trace);
        trace = nullptr;
    }
}

void TLSerialTraceRelay::run()
{
    for (;;) {
        pollfd fds[3] = {{wakeRead, POLLIN, 0}, {master, POLLIN, 0}, {port, POLLIN, 0}};
        const nfds_t count = port >= 0 ? 3 : 1;
        if (::poll(fds, count, -1) < 0) {
            if (errno == EINTR)
                continue;
            note("# poll failed: " + errnoText());
            return;
        }
        if (fds[0].revents != 0)
            return;
        if (count == 1)
            continue;
        QByteArray failure;
        if (fds[2].revents & (POLLIN | POLLHUP | POLLERR))
            failure = forward(port, master, Direction::FromPort);
        if (failure.isEmpty() && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)))
            failure = forward(master, port, Direction::ToPort);
        if (!failure.isEmpty()) {
            // The line is broken: hang up the driver's side as a pulled cable would, then
            // only wait for stop().
            note("# " + failure + "; the driver's side is hung up");
            closeFd(master);
            closeFd(slaveKeeper);
            closeFd(port);
        }
    }
}

QByteArray TLSerialTraceRelay::forward(int from, int to, Direction direction)
{
    const QByteArray fromName = from == port ? "the serial port" : "the driver's side";
    const QByteArray toName = to == port ? "the serial port" : "the driver's side";
    char buffer[ChunkBytes];
    const ssize_t count = ::read(from, buffer, sizeof buffer);
    if (count < 0 && (errno == EAGAIN || errno == EINTR))
        return QByteArray();
    if (count == 0)
        return fromName + " hung up";
    if (count < 0)
        return "reading " + fromName + " failed: " + errnoText();

    const QByteArray bytes(buffer, static_cast<int>(count));
    writeTrace(direction, bytes);
    (direction == Direction::ToPort ? sentToPort : receivedFromPort) += count;

    int written = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(WriteTimeoutMs);
    while (written < bytes.size()) {
        const ssize_t n =
            ::write(to, bytes.constData() + written, static_cast<size_t>(bytes.size() - written));
        if (n > 0) {
            written += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return "writing to " + toName + " failed: " + errnoText();
        if (std::chrono::steady_clock::now() > deadline) {
            note("# " + toName + " does not read, " + QByteArray::number(bytes.size() - written)
                 + " bytes lost");
            return QByteArray();
        }
        pollfd out{to, POLLOUT, 0};
        ::poll(&out, 1, WritePollMs);
    }
    return QByteArray();
}

QByteArray TLSerialTraceRelay::traceLine(const QByteArray &timeStamp, qint64 elapsedUs, Direction direction,
                                         const QByteArray &bytes)
{
    // The form is kestrovan-trace's, which reads these files.
    TLTraceChunk chunk;
    chunk.direction =
        direction == Direction::ToPort ? TLTraceChunk::Direction::Tx : TLTraceChunk::Direction::Rx;
    chunk.elapsedUs = elapsedUs;
    chunk.clock = timeStamp;
    chunk.bytes = bytes;
    return chunk.line();
}

void TLSerialTraceRelay::writeTrace(Direction direction, const QByteArray &bytes)
{
    const qint64 elapsedUs =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - startTime)
            .count();
    note(traceLine(TLTraceChunk::wallClock(), elapsedUs, direction, bytes));
}

void TLSerialTraceRelay::note(const QByteArray &text)
{
    if (traceBroken)
        return;
    const bool written = std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), trace)
                             == static_cast<size_t>(text.size())
                         && std::fputc('\n', trace) != EOF
                         // Flushed at once, so the trace is complete up to the moment a run is cut short.
                         && std::fflush(trace) == 0;
    if (written)
        return;
    // A reader at the end of a pipe went away, or the disk is full: the line to the generator
    // matters more than its record.
    traceBroken = true;
    std::fprintf(stderr, "kestrovan-host: the trace can no longer be written (%s); the run goes on without it\n",
                 std::strerror(errno));
}
