#include "frame/program.h"

namespace brix {
int ProgramMain(int, char**) {
    return 0;
}
} // namespace brix
