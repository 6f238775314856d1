#include "cli/signals.h"

#include <pthread.h>

#include "files/output_file.h"

volatile sig_atomic_t stop_signal = 0;

void end_by_signal(int sig)
{
    remove_pending_temporaries();
    signal(sig, SIG_DFL);
    raise(sig);
}

static void note_signal(int sig)
{
    stop_signal = sig;
}

static void route_signals(void (*handler)(int))
{
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        if (signal(sig, handler) == SIG_IGN) {
            signal(sig, SIG_IGN);
        }
    }
}

void end_on_signals()
{
    route_signals(end_by_signal);
}

void note_signals()
{
    route_signals(note_signal);
}

EndingSignalsBlocked::EndingSignalsBlocked()
{
    sigset_t ending;
    sigemptyset(&ending);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        sigaddset(&ending, sig);
    }
    pthread_sigmask(SIG_BLOCK, &ending, &before);
}

EndingSignalsBlocked::~EndingSignalsBlocked()
{
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}
