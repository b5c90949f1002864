#include "TLHostSpinner.h"

#include <chrono>
#include <unistd.h>

namespace {
void writeAll(const QByteArray &bytes)
{
    // Straight to the descriptor: one write per frame, never mixed into a half-written line of
    // the buffered streams.
    const char *data = bytes.constData();
    size_t left = static_cast<size_t>(bytes.size());
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, data, left);
        if (n <= 0)
            return;
        data += n;
        left -= static_cast<size_t>(n);
    }
}
} // namespace

TLHostSpinner::TLHostSpinner(bool enabled) : enabled(enabled) {}

TLHostSpinner::~TLHostSpinner()
{
    stop();
}

bool TLHostSpinner::standardErrorIsTerminal()
{
    return ::isatty(STDERR_FILENO) == 1;
}

QByteArray TLHostSpinner::frame(int tick, const QByteArray &label, int elapsedMs)
{
    static const char bars[] = {'|', '/', '-', '\\'};
    // Clear the line, draw, and go back to its start, so that a log line printed meanwhile
    // begins at the left edge.
    return "\r\033[K" + QByteArray(1, bars[tick % 4]) + ' ' + label + ' '
           + QByteArray::number(elapsedMs / 1000) + " s\r";
}

void TLHostSpinner::start(const QString &label)
{
    if (!enabled)
        return;
    stop();
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopRequested = false;
    }
    thread = std::thread([this, text = label.toUtf8()] { run(text); });
}

void TLHostSpinner::stop()
{
    if (!thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopRequested = true;
    }
    wake.notify_all();
    thread.join();
}

void TLHostSpinner::run(const QByteArray &label)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point begin = Clock::now();
    std::unique_lock<std::mutex> lock(mutex);
    if (wake.wait_for(lock, std::chrono::milliseconds(GraceMs), [this] { return stopRequested; }))
        return;
    for (int tick = 0; !stopRequested; ++tick) {
        const int elapsedMs = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin).count());
        writeAll(frame(tick, label, elapsedMs));
        wake.wait_for(lock, std::chrono::milliseconds(FrameMs), [this] { return stopRequested; });
    }
    writeAll("\r\033[K");
}
