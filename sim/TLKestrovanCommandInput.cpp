#include "TLKestrovanCommandInput.h"

#include <QFile>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {
// Bytes taken from a source at once.
constexpr int ReadBytes = 4096;
// A second signal while a command is still running ends the program at once with the shell's
// status for that signal.
constexpr int SignalStatusBase = 128;

std::atomic<int> wakeFd{-1};
std::atomic<int> caughtSignal{0};

extern "C" void onSignal(int number)
{
    int none = 0;
    if (!caughtSignal.compare_exchange_strong(none, number))
        ::_exit(SignalStatusBase + number);
    const char byte = 0;
    // Only what a signal handler may call; a full pipe has been woken already.
    [[maybe_unused]] const ssize_t written = ::write(wakeFd.load(), &byte, 1);
}

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}
} // namespace

TLKestrovanCommandInput::TLKestrovanCommandInput(int input, Report report) : report(std::move(report))
{
    if (input >= 0)
        sources.push_back({input, QStringLiteral("standard input"), {}, false});
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) == 0) {
        wakeRead = pipeEnds[0];
        wakeWrite = pipeEnds[1];
    }
}

TLKestrovanCommandInput::~TLKestrovanCommandInput()
{
    if (catching) {
        for (const int number : {SIGINT, SIGTERM, SIGPIPE, SIGTTIN})
            std::signal(number, SIG_DFL);
        wakeFd = -1;
    }
    if (fifoFd >= 0)
        ::close(fifoFd);
    if (!fifoPath.isEmpty())
        ::unlink(QFile::encodeName(fifoPath).constData());
    for (const int fd : {wakeRead, wakeWrite}) {
        if (fd >= 0)
            ::close(fd);
    }
}

bool TLKestrovanCommandInput::openFifo(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    const bool made = ::mkfifo(name.constData(), S_IRUSR | S_IWUSR) == 0;
    if (!made && errno != EEXIST) {
        error = QStringLiteral("cannot make the FIFO %1: %2").arg(path, systemError());
        return false;
    }
    // Open for writing too, so that the FIFO stays open between two writers instead of ending.
    const int fd = ::open(name.constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    struct stat status
    {};
    if (fd < 0 || ::fstat(fd, &status) != 0 || !S_ISFIFO(status.st_mode)) {
        error = fd < 0 ? QStringLiteral("cannot open %1: %2").arg(path, systemError())
                       : QStringLiteral("%1 is not a FIFO").arg(path);
        if (fd >= 0)
            ::close(fd);
        if (made)
            ::unlink(name.constData());
        return false;
    }
    fifoFd = fd;
    if (made)
        fifoPath = path;
    sources.push_back({fd, path, {}, false});
    return true;
}

void TLKestrovanCommandInput::catchSignals()
{
    wakeFd = wakeWrite;
    caughtSignal = 0;
    struct sigaction action
    {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGTTIN, SIG_IGN);
    catching = true;
}

int TLKestrovanCommandInput::endingSignal() const
{
    return caughtSignal.load();
}

TLKestrovanCommandInput::End TLKestrovanCommandInput::run(const Execute &execute)
{
    if (wakeRead < 0) {
        error = QStringLiteral("cannot make a pipe: %1").arg(systemError());
        return End::Failed;
    }
    while (caughtSignal.load() == 0) {
        std::vector<pollfd> watched{{wakeRead, POLLIN, 0}};
        for (const Source &source : sources)
            watched.push_back({source.fd, POLLIN, 0});
        if (::poll(watched.data(), watched.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            error = QStringLiteral("cannot wait for commands: %1").arg(systemError());
            return End::Failed;
        }
        char drained[ReadBytes];
        while (::read(wakeRead, drained, sizeof drained) > 0) {}
        // Back to front, so that a source that ends can be taken out.
        for (size_t i = sources.size(); i-- > 0;) {
            if (watched.at(i + 1).revents == 0)
                continue;
            bool quit = false;
            const bool open = readFrom(sources.at(i), execute, quit);
            if (quit)
                return End::Quit;
            if (!open) {
                report(
                    QStringLiteral("%1 ended; running on until \"quit\"%2, SIGINT or SIGTERM")
                        .arg(sources.at(i).name, fifoFd >= 0 ? QStringLiteral(" on the FIFO") : QString()));
                sources.erase(sources.begin() + long(i));
            }
            if (caughtSignal.load() != 0)
                break;
        }
    }
    return End::Signal;
}

bool TLKestrovanCommandInput::readFrom(Source &source, const Execute &execute, bool &quit)
{
    char bytes[ReadBytes];
    const ssize_t got = ::read(source.fd, bytes, sizeof bytes);
    if (got < 0 && (errno == EAGAIN || errno == EINTR))
        return true;
    // An error (a terminal read in the background: EIO) ends the source as its end does.
    const bool atEnd = got <= 0;
    if (!atEnd)
        source.pending.append(bytes, int(got));
    quit = !runLines(source, execute, atEnd);
    return !atEnd;
}

bool TLKestrovanCommandInput::runLines(Source &source, const Execute &execute, bool atEnd)
{
    const auto passOver = [&] {
        if (!std::exchange(source.overlong, true))
            report(QStringLiteral("a line of %1 longer than %2 bytes is passed over")
                       .arg(source.name)
                       .arg(MaxLineBytes));
    };
    for (;;) {
        int end = source.pending.indexOf('\n');
        // What the input ends with is a line too, without its line feed.
        if (end < 0 && atEnd && !source.pending.isEmpty())
            end = source.pending.size();
        if (end < 0) {
            if (source.pending.size() > MaxLineBytes) {
                passOver();
                source.pending.clear();
            }
            return true;
        }
        const QByteArray line = source.pending.left(end);
        source.pending.remove(0, end + 1);
        if (line.size() > MaxLineBytes)
            passOver();
        if (std::exchange(source.overlong, false))
            continue;
        if (!execute(QString::fromLocal8Bit(line)))
            return false;
        if (caughtSignal.load() != 0)
            return true;
    }
}
