#include "cli/signals.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "files/output_file.h"

static const int ENDING[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// The held signals that take_signal() waits for: those not ignored.
static sigset_t awaited;

sigset_t ending_signals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : ENDING) {
        sigaddset(&set, sig);
    }
    return set;
}

void end_by_signal(int sig)
{
    remove_pending_temporaries();
    signal(sig, SIG_DFL);
    // Held, or blocked while its own handler runs, the signal would only
    // wait: it is let through to end the program here.
    sigset_t just;
    sigemptyset(&just);
    sigaddset(&just, sig);
    pthread_sigmask(SIG_UNBLOCK, &just, nullptr);
    raise(sig);
    _exit(128 + sig); // not reached: the default action of each ends the program
}

void end_on_signals()
{
    for (int sig : ENDING) {
        if (signal(sig, end_by_signal) == SIG_IGN) {
            signal(sig, SIG_IGN);
        }
    }
}

void hold_signals()
{
    sigemptyset(&awaited);
    for (int sig : ENDING) {
        struct sigaction now;
        // Blocked, an ignored signal would wait like any other, not vanish.
        if (sigaction(sig, nullptr, &now) == 0 && now.sa_handler != SIG_IGN) {
            sigaddset(&awaited, sig);
        }
    }
    sigset_t ending = ending_signals();
    pthread_sigmask(SIG_BLOCK, &ending, nullptr);
}

int take_signal()
{
    const struct timespec no_wait = {0, 0};
    for (;;) {
        int sig = sigtimedwait(&awaited, nullptr, &no_wait);
        if (sig > 0) {
            return sig;
        }
        if (errno != EINTR) {
            return 0; // EAGAIN: none has come
        }
    }
}

void release_signals()
{
    sigset_t ending = ending_signals();
    pthread_sigmask(SIG_UNBLOCK, &ending, nullptr);
}

EndingSignalsBlocked::EndingSignalsBlocked()
{
    sigset_t ending = ending_signals();
    pthread_sigmask(SIG_BLOCK, &ending, &before);
}

EndingSignalsBlocked::~EndingSignalsBlocked()
{
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}
