/* c_host.c: a C11 host built on the umbrella header. */
#include <lumivane/lumivane.h>
#include <stdio.h>
#include <stdlib.h>

int main(void) {
    Slot *s = ap_from_double(4096, 16, 1.0);
    if (s == NULL || s->mantissa_words[0] != (1ull << 63) || s->exponent != 1) return 1;
    ap_free(s);
    free(s);
    return 0;
}
