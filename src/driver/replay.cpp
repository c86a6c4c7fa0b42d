// replay.cpp: lumivane-replay SEED: the program's run with a chosen seed, to reproduce it.
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "common/internal.h"

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s SEED\n", argv[0]);
        return 2;
    }
    char *end = nullptr;
    errno = 0;
    const unsigned long seed = std::strtoul(argv[1], &end, 10);
    if (errno != 0 || end == argv[1] || *end != '\0' || seed > 0xFFFFFFFFul || argv[1][0] == '-') {
        std::fprintf(stderr, "%s: SEED must be an unsigned 32-bit decimal number\n", argv[0]);
        return 2;
    }
    return lv::run(static_cast<unsigned>(seed));
}
