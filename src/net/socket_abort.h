#pragma once
// Holds back the socket layer's abort check (SetSocketAbortCheck) for a scope,
// wholly (the goodbye) or for a grace time (the verdict on a message).

#include <cstdint>
#include <exception>

namespace brix {

// While one lives, socket waits do not call the abort check: a job's goodbye
// (QUIT) is not cut short by a second ESC or signal, so that the job's end
// part (saving its state) always runs to its end. The waits stay bounded by
// their time-outs.
class TSocketAbortHold {
  public:
    TSocketAbortHold();
    ~TSocketAbortHold();
    TSocketAbortHold(const TSocketAbortHold&) = delete;
    TSocketAbortHold& operator=(const TSocketAbortHold&) = delete;
};

// While one lives, an abort raised by the abort check does not end the wait
// at once: it is held, and the wait goes on for at most GraceMs more before
// the held abort is raised. A second abort ends the wait at once. This is for
// the server's verdict on a message that has been handed over whole: cutting
// that wait would leave an accepted message queued, to be sent again.
// When the wait ends in time, the held abort stays for the caller's next
// abort check (TakeHeldAbort); when it ends with another error, that error
// ends the job and the held abort is dropped.
class TSocketAbortDefer {
  public:
    explicit TSocketAbortDefer(std::int32_t GraceMs);
    ~TSocketAbortDefer();
    TSocketAbortDefer(const TSocketAbortDefer&) = delete;
    TSocketAbortDefer& operator=(const TSocketAbortDefer&) = delete;

  private:
    int uncaught_;
};

// The abort a TSocketAbortDefer held while its wait completed, once (null
// when there is none, and while a TSocketAbortDefer still lives). The
// program's abort check raises it first.
std::exception_ptr TakeHeldAbort();

} // namespace brix
