#ifndef RT_SIGNALS_H
#define RT_SIGNALS_H

#include <csignal>

// What the ending signals (SIGINT, SIGTERM, SIGHUP and SIGQUIT) do to a run.
// A signal ignored from the start (nohup, a background job of a script)
// stays ignored throughout.
//
// Before the first pixel, and for the whole of a classic render, a signal
// ends the run at once, taking the temporary files being written with it.
// While the parallel mode's threads run, no handler runs at all: the signals
// are held (blocked in every thread) and the main thread takes them between
// its steps, so that the render can end as it chooses: the pass under way
// dropped, the passes done kept and shown. Only the main thread ever stops
// or joins the workers, whatever thread was running when the signal came.
// Besides the care a handler needs, under qemu-i386 a thread whose handler
// returns takes on the identity of the thread started last (its TLS), and
// would then join itself.

// The signals end the run at once, temporaries removed.
void end_on_signals();
// From now on the signals wait, blocked in this thread and in every thread
// it starts, until take_signal() takes them.
void hold_signals();
// The number of a held signal that has come, taken off, or 0; never waits.
int take_signal();
// Ends the held state: a signal that comes from now on acts at once, as set
// by end_on_signals(). Call take_signal() first for one that came before.
void release_signals();
// Ends the program by sig, as the signal itself would, temporaries removed.
// Safe in a signal handler.
void end_by_signal(int sig);

// The ending signals as a set: a thread that starts workers blocks them
// around the start, so that no worker ever takes one.
sigset_t ending_signals();

// While one lives, the signals above are blocked in the calling thread, and
// so in every thread it starts: threads started under it leave them to the
// thread that started them, which alone looks at what the handlers note.
class EndingSignalsBlocked
{
  public:
    EndingSignalsBlocked();
    ~EndingSignalsBlocked();
    EndingSignalsBlocked(const EndingSignalsBlocked &) = delete;
    EndingSignalsBlocked &operator=(const EndingSignalsBlocked &) = delete;

  private:
    sigset_t before;
};

#endif
