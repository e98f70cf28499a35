// The three standard handles, made sure of before a program opens anything.
#pragma once

namespace tamarind {

// Opens /dev/null onto each of standard input, output and error that is
// closed, so that no file the program opens later becomes one of them and
// gets the program's messages written into it. A closed input is opened
// for writing only and a closed output for reading only: reading or
// writing it still fails (EBADF) as it did while it was closed, and is
// reported as any other failure of that handle. Call it first thing in
// main(). Returns false when a handle could not be opened (the program
// must not go on then).
bool OpenClosedStandardHandles();

}  // namespace tamarind
