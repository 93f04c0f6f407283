#pragma once

namespace brix {

// The program entry: start-up, the run, exit code.
int ProgramMain(int argc, char** argv);

} // namespace brix
