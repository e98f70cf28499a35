// What ends a run from outside: SIGINT (Ctrl-C), SIGTERM and SIGHUP.
//
// The first one asks the run to stop: no new file is started, the files in
// progress are finished (each document ends up as it was or wholly new), the
// summary so far is printed and the program exits with 128 + the signal's
// number. A second one ends the program at once, after removing every
// temporary file that has a name. A closed pipe (SIGPIPE) ends nothing: the
// failed write says so instead.
#pragma once

namespace tamarind::cli {

// Takes the three signals over. Call it before any other thread is made,
// so that every thread leaves them to the one that waits for them. With
// `exitAtOnce` nothing is being put in place (standard input to standard
// output), and the first signal ends the program straight away.
void HandleInterrupts(bool exitAtOnce);

// The signal that asked the run to stop, or 0.
int InterruptSignal();

// "SIGINT", "SIGTERM" or "SIGHUP".
const char* SignalName(int signal);

}  // namespace tamarind::cli
