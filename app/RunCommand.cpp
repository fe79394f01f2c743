#include <cstdio>

#include "app/Commands.h"

namespace vorel {

// Placeholder until the mail run lands.
int cmdRun(const CommandLine& cl) {
    prepareAppFolder(cl);
    std::fputs("vorel run: the mail run is not available yet\n", stderr);
    return 1;
}

}  // namespace vorel
