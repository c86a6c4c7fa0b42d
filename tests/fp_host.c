/* fp_host.c: a host that calls the library's exported main from the
   floating-point environment it names, and checks that it gets it back.
       lumivane_fp_host LIBRARY default|skewed
   Answers main's status, or 3 (with a line on standard error) when the
   environment came back changed. */
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include "host_fpenv.h"

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s LIBRARY default|skewed\n", argv[0]);
        return 2;
    }
    void *library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    /* Looked up in the library's own scope: its main, not this one. */
    void *symbol = library != NULL ? dlsym(library, "main") : NULL;
    int (*run)(void) = NULL;
    memcpy(&run, &symbol, sizeof run);
    if (run == NULL) {
        fprintf(stderr, "%s: no main in %s: %s\n", argv[0], argv[1], dlerror());
        return 2;
    }
    if (strcmp(argv[2], "skewed") == 0) host_fpenv_skew();
    const host_fpenv before = host_fpenv_read();
    const int status = run();
    fflush(stdout);
    if (!host_fpenv_same(before, host_fpenv_read())) {
        fprintf(stderr, "%s: the floating-point environment came back changed\n", argv[0]);
        return 3;
    }
    return status;
}
