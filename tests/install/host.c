/* A minimal host program, built against the installed library. */
#include <dyadc.h>
#include <stdio.h>

int main(void) {
    int32_t result = DyadSetLog("/tmp/dyadc-host-example.log", 100000, 0);
    printf("DyadSetLog returned %d\n", result);
    return result == 0 ? 0 : 1;
}
