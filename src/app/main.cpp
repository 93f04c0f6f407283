#include "app/program.h"

int main(int argc, char** argv) {
    return brix::ProgramMain(argc, argv);
}
