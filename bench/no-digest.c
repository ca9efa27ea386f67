/* Preloaded into both dyad processes of one benchmark copy, makes libcrypto's
 * digest update do nothing, so that the benchmark can tell what SHA-256 costs
 * a file copy. Both sides then compute the digest of no bytes, which match:
 * the copy runs its whole course without the hashing. A measuring aid only. */
#include <stddef.h>

int EVP_DigestUpdate(void* context, const void* data, size_t length) {
    (void)context;
    (void)data;
    (void)length;
    return 1;
}
