// replay.cpp: lumivane-replay SEED: the program's run with a chosen seed, to reproduce it.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/internal.h"

namespace {

void usage(std::FILE *to, const char *name) {
    std::fprintf(to,
                 "usage: %s SEED\n"
                 "Runs lumivane's fixed run with the random generator seeded by SEED (an\n"
                 "unsigned 32-bit decimal number) instead of the calendar clock, and prints\n"
                 "what lumivane printed when time(NULL) answered SEED.\n"
                 "\n"
                 "  --help     show this text and exit\n"
                 "  --version  show the version and exit\n",
                 name);
}

}  // namespace

int main(int argc, char **argv) {
    const char *name = argc > 0 ? argv[0] : "lumivane-replay";
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        usage(stdout, name);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("lumivane-replay %s\n", LUMIVANE_VERSION);
        return 0;
    }
    if (argc != 2) {
        usage(stderr, name);
        return 2;
    }
    char *end = nullptr;
    errno = 0;
    const unsigned long seed = std::strtoul(argv[1], &end, 10);
    if (errno != 0 || end == argv[1] || *end != '\0' || seed > 0xFFFFFFFFul || argv[1][0] == '-') {
        std::fprintf(stderr, "%s: SEED must be an unsigned 32-bit decimal number (see --help)\n",
                     name);
        return 2;
    }
    return lv::run(static_cast<unsigned>(seed));
}
