#include "TLTraceTap.h"

#include <QFile>

#include <cerrno>
#include <chrono>
#include <system_error>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {
QString errnoText(int error)
{
    return QString::fromStdString(std::generic_category().message(error));
}

qint64 monotonicNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
} // namespace

TLTraceTap::TLTraceTap()
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        wakeRead = fds[0];
        wakeWrite = fds[1];
    }
}

TLTraceTap::~TLTraceTap()
{
    if (wakeRead >= 0)
        ::close(wakeRead);
    if (wakeWrite >= 0)
        ::close(wakeWrite);
}

int TLTraceTap::openPort(const QString &path, QString &error)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = QStringLiteral("cannot open %1: %2").arg(path, errnoText(errno));
        return -1;
    }
    QString why;
    if (!configurePort(fd, why)) {
        error = QStringLiteral("cannot set 38400 8N1 on %1: %2").arg(path, why);
        ::close(fd);
        return -1;
    }
    return fd;
}

bool TLTraceTap::configurePort(int fd, QString &error)
{
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0) {
        error = errnoText(errno);
        return false;
    }
    ::cfmakeraw(&settings);
    ::cfsetispeed(&settings, B38400);
    ::cfsetospeed(&settings, B38400);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    settings.c_cflag |= CS8 | CLOCAL | CREAD;
    settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &settings) != 0
        || ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) {
        error = errnoText(errno);
        return false;
    }
    return true;
}

void TLTraceTap::stop()
{
    // Only write(): safe in a signal handler.
    const char wake = 1;
    if (wakeWrite >= 0 && ::write(wakeWrite, &wake, 1) < 0) {
        // A full pipe already holds a wake-up.
    }
}

qint64 TLTraceTap::elapsedUs() const
{
    return (monotonicNs() - startNs) / 1000;
}

TLTraceTap::End TLTraceTap::run(const Port &host, const Port &generator, const ChunkHandler &onChunk,
                                const TickHandler &onTick)
{
    if (wakeRead < 0) {
        endMessage = QStringLiteral("cannot make a pipe to stop the tap");
        return End::Failed;
    }
    startNs = monotonicNs();
    end = End::Stopped;
    endMessage = QStringLiteral("stopped");
    qint64 lastTickUs = 0;
    for (;;) {
        pollfd fds[3] = {{host.fd, POLLIN, 0}, {generator.fd, POLLIN, 0}, {wakeRead, POLLIN, 0}};
        if (::poll(fds, 3, TickMs) < 0 && errno != EINTR) {
            endMessage = QStringLiteral("waiting for the ports failed: %1").arg(errnoText(errno));
            return End::Failed;
        }
        // Whatever a port still had is passed on before a stop is obeyed.
        const short readable = POLLIN | POLLHUP | POLLERR | POLLNVAL;
        if ((fds[0].revents & readable) && !relay(host, generator, TLTraceChunk::Direction::Tx, onChunk))
            return end;
        if ((fds[1].revents & readable) && !relay(generator, host, TLTraceChunk::Direction::Rx, onChunk))
            return end;
        if (fds[2].revents & POLLIN)
            return End::Stopped;
        const qint64 now = elapsedUs();
        if (onTick && now - lastTickUs >= qint64(TickMs) * 1000) {
            onTick(now);
            lastTickUs = now;
        }
    }
}

bool TLTraceTap::relay(const Port &from, const Port &to, TLTraceChunk::Direction direction,
                       const ChunkHandler &onChunk)
{
    char buffer[ReadBytes];
    const ssize_t count = ::read(from.fd, buffer, sizeof buffer);
    if (count < 0 && (errno == EAGAIN || errno == EINTR))
        return true;
    if (count <= 0) {
        // A pulled adapter or a hung-up line reads as the end or as an error.
        end = End::PortGone;
        endMessage = count == 0 ? QStringLiteral("the %1 went away (end of input)").arg(from.name)
                                : QStringLiteral("the %1 went away (%2)").arg(from.name, errnoText(errno));
        return false;
    }
    TLTraceChunk chunk;
    chunk.direction = direction;
    chunk.elapsedUs = elapsedUs();
    chunk.clock = TLTraceChunk::wallClock();
    chunk.bytes = QByteArray(buffer, static_cast<int>(count));
    // Passed on first, recorded after: the trace costs the line nothing.
    const bool passed = writeAll(to, chunk.bytes);
    if (onChunk)
        onChunk(chunk);
    return passed;
}

bool TLTraceTap::writeAll(const Port &to, const QByteArray &bytes)
{
    int written = 0;
    const qint64 deadline = monotonicNs() + qint64(WriteTimeoutMs) * 1000000;
    while (written < bytes.size()) {
        const ssize_t n =
            ::write(to.fd, bytes.constData() + written, static_cast<size_t>(bytes.size() - written));
        if (n > 0) {
            written += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            end = End::PortGone;
            endMessage = QStringLiteral("the %1 went away (%2); %3 bytes could not be passed on")
                             .arg(to.name, errnoText(errno))
                             .arg(bytes.size() - written);
            return false;
        }
        const qint64 left = (deadline - monotonicNs()) / 1000000;
        if (left <= 0) {
            end = End::Failed;
            endMessage = QStringLiteral("the %1 took no bytes for %2 ms; %3 bytes could not be passed on")
                             .arg(to.name)
                             .arg(WriteTimeoutMs)
                             .arg(bytes.size() - written);
            return false;
        }
        pollfd out{to.fd, POLLOUT, 0};
        ::poll(&out, 1, static_cast<int>(left));
    }
    return true;
}
