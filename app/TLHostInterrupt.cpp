#include "TLHostInterrupt.h"

#include <QEventLoop>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <unistd.h>

namespace {
std::atomic<int> firstSignal{0};

const char FirstText[] =
    "\nkestrovan-host: stopping after the command at hand, once the driver has switched "
    "the generator off; a second Ctrl-C or SIGTERM ends at once, without switching it off\n";
const char SecondText[] = "\nkestrovan-host: ended at once; the generator was not switched off\n";

void say(const char *text, size_t size)
{
    // Only what a signal handler may call; a failed write has nowhere else to go.
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, text, size);
}

extern "C" void onSignal(int number)
{
    int none = 0;
    if (firstSignal.compare_exchange_strong(none, number)) {
        say(FirstText, sizeof FirstText - 1);
        return;
    }
    say(SecondText, sizeof SecondText - 1);
    ::_exit(TLHostInterrupt::SignalStatusBase + number);
}
} // namespace

void TLHostInterrupt::install()
{
    struct sigaction action
    {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    // Restart interrupted reads, so that a prompt or a script waiting for input goes on.
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool TLHostInterrupt::requested()
{
    return firstSignal.load() != 0;
}

int TLHostInterrupt::exitStatus()
{
    const int number = firstSignal.load();
    return number == 0 ? 0 : SignalStatusBase + number;
}

void TLHostInterrupt::quitOnRequest(QEventLoop &loop, QTimer &poll)
{
    QObject::connect(&poll, &QTimer::timeout, &loop, [&loop] {
        if (requested())
            loop.quit();
    });
    poll.start(PollMs);
}
