/* Writes through a null pointer. Its test passes only when running it under
 * wine is reported as a failure. */
#include <stdio.h>

int main(void) {
    volatile int* nowhere = NULL;
    puts("about to crash");
    fflush(stdout);
    *nowhere = 1;
    return 0;
}
