#ifndef RT_SIGNALS_H
#define RT_SIGNALS_H

#include <csignal>

// What SIGINT, SIGTERM, SIGHUP (and SIGQUIT) do to a window-less run. A
// signal ignored from the start (nohup, a background job of a script) stays
// ignored either way.

// The signal ends the run at once, taking the temporary files being written
// with it.
void end_on_signals();
// The signal is noted in stop_signal, for the run to end when it can: the
// parallel mode first keeps and shows the passes done.
void note_signals();
extern volatile sig_atomic_t stop_signal;
// Ends the program by sig, as the signal itself would, temporaries removed.
void end_by_signal(int sig);

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
