#pragma once
// Holds back the socket layer's abort check (SetSocketAbortCheck) for a scope.

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

} // namespace brix
