/* msvc-host: a host program built as a user of the Windows archive builds one
 * with Microsoft's tools: clang in Microsoft's mode and lld-link, against the
 * archive's dyadc.h and dyadc.lib. It needs no C runtime (the tests have
 * none of Microsoft's), only kernel32 for its command line and its output.
 * Every call of the library and every callback goes through DYADC_CALL.
 *
 *   msvc-host send ID LENGTH   Initiator: pairs, sends LENGTH bytes of the
 *                              tests' pattern as one block of type 20 and
 *                              closes; prints "open R", "send R HASH" and
 *                              "progress N" (what the callback last got)
 *   msvc-host receive ID       Responder: pairs, receives until a call ends
 *                              other than with 0 and closes; prints
 *                              "verified NAME", "open R", "received N HASH"
 *                              (the bytes and their hash), "recv R"
 *                              and "progress N"
 * Every run ends with "close R". The exit status is 0 when every call
 * returned what it should.
 */
#include <dyadc.h>

typedef void* Handle;
__declspec(dllimport) Handle __stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(Handle file, const void* bytes, unsigned long count,
                                              unsigned long* written, void* overlapped);
__declspec(dllimport) char* __stdcall GetCommandLineA(void);
__declspec(dllimport) __declspec(noreturn) void __stdcall ExitProcess(unsigned status);

/* The compiler refers to this symbol when a program uses floating point;
 * the C runtime defines it otherwise. */
int _fltused;

static char line[512];
static unsigned lineLength;

static void put(const char* text) {
    while (*text != '\0' && lineLength < sizeof line - 1) line[lineLength++] = *text++;
}
/* Numbers in 32 bits: 64-bit division would need the C runtime's helpers. */
static void putNumber(unsigned value) {
    char digits[12];
    int count = 0;
    do {
        digits[count++] = (char)('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0 && lineLength < sizeof line - 1) line[lineLength++] = digits[--count];
}
static void putHex(unsigned long long value) {
    for (int shift = 60; shift >= 0 && lineLength < sizeof line - 1; shift -= 4) {
        line[lineLength++] = "0123456789abcdef"[(unsigned)(value >> shift) & 15];
    }
}
static void endLine(void) {
    unsigned long written = 0;
    line[lineLength++] = '\n';
    WriteFile(GetStdHandle((unsigned long)-11), line, lineLength, &written, 0);
    lineLength = 0;
}
static void report(const char* step, int32_t result) {
    put(step);
    put(" ");
    if (result < 0) {
        put("-");
        result = -result;
    }
    putNumber((unsigned)result);
    endLine();
}

/* The tests' pattern bytes and hash (test-host's patternByte and Hash). */
static unsigned char patternByte(unsigned position) {
    return (unsigned char)(((unsigned long long)(position % 1048573u) * 2654435761u) >> 13);
}
static unsigned long long hashed(unsigned long long hash, const unsigned char* bytes, int32_t count) {
    for (int32_t i = 0; i < count; ++i) hash = (hash ^ bytes[i]) * 1099511628211ull;
    return hash;
}

static const char* pairingIdentifier;
static unsigned pairingIdentifierLength;
static double progressed;

static int32_t DYADC_CALL identifier(char* buffer) {
    unsigned i = 0;
    for (; i < pairingIdentifierLength && i < DYAD_IDENTIFIER_MAX; ++i) buffer[i] = pairingIdentifier[i];
    buffer[i] = '\0';
    return 0;
}
static int32_t DYADC_CALL verify(const char* computerName) {
    put("verified ");
    put(computerName);
    endLine();
    return 0;
}
static void DYADC_CALL progress(double bytesTransferred) {
    progressed = bytesTransferred;
}

/* The next word of the command line, and its length. */
static const char* word(const char** at, unsigned* length) {
    const char* start;
    while (**at == ' ' || **at == '\t') ++*at;
    start = *at;
    if (*start == '"') {
        start = ++*at;
        while (**at != '"' && **at != '\0') ++*at;
        *length = (unsigned)(*at - start);
        if (**at == '"') ++*at;
        return start;
    }
    while (**at != ' ' && **at != '\t' && **at != '\0') ++*at;
    *length = (unsigned)(*at - start);
    return start;
}

static unsigned char block[1 << 20];

int mainCRTStartup(void);
int mainCRTStartup(void) {
    const char* at = GetCommandLineA();
    unsigned length = 0;
    const char* mode;
    int sending, ok;
    int32_t result;
    unsigned long long hash = 1469598103934665603ull;
    word(&at, &length); /* the program */
    mode = word(&at, &length);
    sending = length == 4 && mode[0] == 's';
    pairingIdentifier = word(&at, &pairingIdentifierLength);

    result = DyadOpen(identifier, verify, 60, sending ? 1 : 2);
    report("open", result);
    ok = result == 0;
    if (ok && sending) {
        const char* text = word(&at, &length);
        unsigned count = 0;
        for (unsigned i = 0; i < length; ++i) count = count * 10 + (unsigned)(text[i] - '0');
        if (count > sizeof block) count = sizeof block;
        for (unsigned i = 0; i < count; ++i) block[i] = patternByte(i);
        result = DyadSendDataBlock("msvc", "host", 60, block, count, DYAD_BLOCK_LAST, progress);
        put("send ");
        putNumber((unsigned)result);
        put(" ");
        putHex(hashed(hash, block, (int32_t)count));
        endLine();
        ok = result == 0;
    } else if (ok) {
        char first[DYAD_NAME_BUFFER_SIZE], second[DYAD_NAME_BUFFER_SIZE];
        unsigned received = 0;
        int32_t got = 0, type = 0;
        while ((result = DyadRecvDataBlock(first, second, 60, block, 4096, &got, &type, progress)) == 0) {
            hash = hashed(hash, block, got);
            received += (unsigned)got;
        }
        put("received ");
        putNumber(received);
        put(" ");
        putHex(hash);
        endLine();
        report("recv", result);
        ok = result == DYAD_PEER_CLOSED;
    }
    report("progress", (int32_t)progressed);
    if (result == 0 || result == DYAD_PEER_CLOSED) report("close", DyadClose());
    ExitProcess(ok ? 0 : 1);
}
