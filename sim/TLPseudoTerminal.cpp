#include "TLPseudoTerminal.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>

namespace {
constexpr int SlavePathBytes = 128;
constexpr int ReadChunkBytes = 4096;
// A write gives up when the terminal has taken nothing for this long: nobody reads the far
// end (a driver with its port closed under a flood), and a cable's bytes would be gone too.
constexpr int WriteStallLimitMs = 1000;
constexpr int WriteStallPollMs = 10;

// strerror() may hand every thread the same buffer; the error category builds its own text.
QString systemErrorText(int code)
{
    return QString::fromLocal8Bit(std::generic_category().message(code).c_str());
}
} // namespace

TLPseudoTerminal::TLPseudoTerminal() = default;

TLPseudoTerminal::~TLPseudoTerminal()
{
    hangUp();
}

bool TLPseudoTerminal::open()
{
    master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) {
        error = systemErrorText(errno);
        return false;
    }
    // Non-blocking, so that writeSome() never waits for a driver that does not read.
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    char name[SlavePathBytes] = {};
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0 || ::ptsname_r(master, name, sizeof name) != 0) {
        error = systemErrorText(errno);
        hangUp();
        return false;
    }
    // Raw mode on the master sets the line discipline of the pair: bytes 0x80..0xFF, XON/XOFF
    // and line ends pass unchanged, and nothing is echoed.
    termios settings{};
    if (::tcgetattr(master, &settings) == 0) {
        ::cfmakeraw(&settings);
        ::tcsetattr(master, TCSANOW, &settings);
    }
    path = QString::fromLocal8Bit(name);
    slaveKeeper = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (slaveKeeper >= 0 && ::tcgetattr(slaveKeeper, &settings) == 0) {
        ::cfmakeraw(&settings);
        ::tcsetattr(slaveKeeper, TCSANOW, &settings);
    }
    return true;
}

bool TLPseudoTerminal::write(const QByteArray &bytes)
{
    if (master < 0)
        return false;
    qsizetype done = 0;
    int stalledMs = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(master, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN && stalledMs < WriteStallLimitMs) {
                pollfd p{master, POLLOUT, 0};
                ::poll(&p, 1, WriteStallPollMs);
                stalledMs += WriteStallPollMs;
                continue;
            }
            return false;
        }
        done += n;
        stalledMs = 0;
    }
    return true;
}

qint64 TLPseudoTerminal::writeSome(const QByteArray &bytes)
{
    if (master < 0)
        return -1;
    for (;;) {
        const ssize_t n = ::write(master, bytes.constData(), static_cast<size_t>(bytes.size()));
        if (n >= 0)
            return n;
        if (errno == EAGAIN)
            return 0;
        if (errno != EINTR)
            return -1;
    }
}

QByteArray TLPseudoTerminal::read(int timeoutMs)
{
    if (master < 0)
        return QByteArray();
    pollfd p{master, POLLIN, 0};
    const int ready = ::poll(&p, 1, timeoutMs);
    if (ready <= 0)
        return QByteArray();
    if (!(p.revents & POLLIN)) {
        // Hang-up or error without data: wait out the time instead of spinning.
        ::usleep(static_cast<useconds_t>(timeoutMs) * 1000);
        return QByteArray();
    }
    char buffer[ReadChunkBytes];
    const ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n <= 0)
        return QByteArray();
    return QByteArray(buffer, static_cast<int>(n));
}

void TLPseudoTerminal::hangUp()
{
    if (slaveKeeper >= 0) {
        ::close(slaveKeeper);
        slaveKeeper = -1;
    }
    if (master >= 0) {
        ::close(master);
        master = -1;
    }
}
