#include "TLHostInterrupt.h"

#include <atomic>
#include <csignal>

namespace {
std::atomic<bool> interrupted{false};

extern "C" void onSignal(int)
{
    interrupted.store(true);
}
} // namespace

void TLHostInterrupt::install()
{
    struct sigaction action
    {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    // Restart interrupted reads, so that a prompt or a script waiting for input goes on; the
    // handler is reset at once, so that the next signal takes the default way out.
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool TLHostInterrupt::requested()
{
    return interrupted.load();
}
