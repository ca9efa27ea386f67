/* A minimal host program: pairs two workstations and sends one greeting.
 *
 *   host receive IDENTIFIER    on one workstation (the Responder)
 *   host send IDENTIFIER       on the other (the Initiator)
 */
#include <dyadc.h>
#include <stdio.h>
#include <string.h>

static const char* pairingIdentifier;

static int32_t DYADC_CALL identifier(char* buffer) {
    snprintf(buffer, DYAD_IDENTIFIER_BUFFER_SIZE, "%s", pairingIdentifier);
    return 0;
}

static int32_t DYADC_CALL verify(const char* computerName) {
    printf("pairing with %s\n", computerName);
    return 0; /* 0 accepts the name, anything else refuses it */
}

int main(int argc, char** argv) {
    if (argc != 3 || (strcmp(argv[1], "send") != 0 && strcmp(argv[1], "receive") != 0)) {
        fprintf(stderr, "usage: %s send|receive IDENTIFIER\n", argv[0]);
        return 2;
    }
    pairingIdentifier = argv[2];
    DyadSetLog("/tmp/host-example.log", 1000000, 1);

    if (strcmp(argv[1], "send") == 0) {
        int32_t result = DyadOpen(identifier, verify, 30, 1); /* mode 1: Initiator */
        if (result != 0) {
            fprintf(stderr, "pairing failed: %d\n", result);
            return 1;
        }
        const char greeting[] = "hello from the other workstation";
        result = DyadSendDataBlock("greeting", "text", 30, greeting, sizeof greeting, 7, NULL);
        DyadClose(); /* the last close tells the Responder */
        printf("sent: %d\n", result);
        return result == 0 ? 0 : 1;
    }

    int32_t result = DyadOpen(identifier, verify, 30, 2); /* any other mode: Responder */
    if (result != 0) {
        fprintf(stderr, "pairing failed: %d\n", result);
        return 1;
    }
    char first[DYAD_NAME_BUFFER_SIZE], second[DYAD_NAME_BUFFER_SIZE], buffer[1024];
    int32_t length = 0, type = 0;
    result = DyadRecvDataBlock(first, second, 30, buffer, sizeof buffer, &length, &type, NULL);
    if (result == 0) printf("received %s (%s, type %d): %.*s\n", first, second, type, (int)length, buffer);
    DyadClose();
    return result == 0 ? 0 : 1;
}
