// Fuzzes the control-file parser of the file-access library with any bytes.
//
// The parser is internal to location.cpp, so that file is compiled into
// this target directly.  The data is handed over in a heap block of exactly
// its size and the name table is a global with a red zone, so the address
// checker reports any read outside the data and any write past the table.
// After each parse the table is walked as the lookups walk it and checked:
// every entry's length byte is pattern + directory + 4, each entry ends
// inside the table, the table ends with a 0 length byte inside it, and no
// entry is longer than 127 bytes.  Then a few lookups run on the table.
//
// Input: byte 0 gives the control file's directory length (4 * byte 0, at
// most 1020 characters, which "*" in a directory stands for); byte 1 equal
// to 0xA5 repeats the rest until it exceeds the table, to reach the "too
// large" result (rarely, as such a parse traces thousands of entries); the
// rest is the control file.
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "../fileaccess/location.cpp"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Lookups trace: keep the facility's segment out of the machine's.
    if (unshare(CLONE_NEWIPC) != 0) {
        std::perror("unshare(CLONE_NEWIPC)");
        std::abort();
    }
    setenv("PATH", "/nonexistent-a:/nonexistent-b", 1);  // the ";" search finds nothing, quickly
    return 0;
}

namespace {

const bool gSkipNulCheck = std::getenv("FUZZ_SKIP_NUL_CHECK") != nullptr;

void checkTable(SPRET rc) {
    std::size_t t = 0;
    for (;;) {
        if (t >= XDFC_FILE_REQ_SIZE) __builtin_trap();  // no end marker inside the table
        const int length = static_cast<signed char>(xdfc_file_req[t]);
        if (length == 0) break;
        if (rc != 0) return;  // a failed load leaves a partial table without an end marker promise
        if (length < 4 || t + static_cast<std::size_t>(length) >= XDFC_FILE_REQ_SIZE) __builtin_trap();
        if (xdfc_file_req[t + 1] != 0) __builtin_trap();
        const char *pattern = xdfc_file_req + t + 2;
        const std::size_t plen = strnlen(pattern, static_cast<std::size_t>(length));
        const char *dir = pattern + plen + 1;
        const std::size_t dlen = strnlen(dir, static_cast<std::size_t>(length));
        // A NUL byte inside a pattern or directory shifts where a lookup
        // finds the directory.  FUZZ_SKIP_NUL_CHECK lets a campaign look past it.
        if (plen + dlen + 4 != static_cast<std::size_t>(length) && !gSkipNulCheck) __builtin_trap();
        t += static_cast<std::size_t>(length);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    char ctlDir[kDirSize];
    const std::size_t dlen = 4u * data[0] > 1020 ? 1020 : 4u * data[0];
    std::memset(ctlDir, 'c', dlen);
    ctlDir[dlen] = '/';
    ctlDir[dlen + 1] = '\0';
    const bool repeat = data[1] == 0xA5;
    const uint8_t *body = data + 2;
    const std::size_t bodySize = size - 2;

    std::size_t n = bodySize;
    if (repeat && bodySize > 0) n = (XDFC_FILE_REQ_SIZE / bodySize + 2) * bodySize;
    char *buffer = static_cast<char *>(std::malloc(n > 0 ? n : 1));
    for (std::size_t i = 0; i < n; i++) buffer[i] = static_cast<char>(body[i % (bodySize ? bodySize : 1)]);

    std::memset(xdfc_file_req, 0x7f, sizeof xdfc_file_req);  // garbage that an unbounded walk would follow
    const SPRET rc = parseControlFile(buffer, n, ctlDir, static_cast<long>(n));
    std::free(buffer);
    if (rc != 0 && rc != 500) __builtin_trap();
    checkTable(rc);
    if (rc != 0) return 0;

    // Lookups on the parsed table, as a process that loaded it makes them.
    armed = 1;
    static const char *names[] = {"a", "kbvddfc.trm", "file.dat", "x.y", "*"};
    for (const char *name : names) {
        char path[kPathSize];
        SPRET comprc = 0;
        (void)xdfc_query_file_location(name, path, &comprc);
        (void)xdfc_getfilepath(name, path);
    }
    armed = 0;
    return 0;
}
