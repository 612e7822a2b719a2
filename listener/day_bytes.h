// The byte-level work on one open day file: appending a line whole, and
// making whole the end a crash left. Each says what it did and what failed;
// the journal says it on standard error.
#pragma once
#include <cstddef>
#include <sys/types.h>

// Appends len bytes to fd (opened O_APPEND) whole, or takes back the part of
// them it wrote, so that the file only ever holds whole lines.
struct append_result {
    int err = 0;          // 0, or the errno of the failed write
    bool nothing = false; // a write took no byte, and said no errno
    bool stuck = false;   // a part was written and could not be taken back
};
append_result append_whole(int fd, const char* line, std::size_t len);

// A crash (a power cut) can leave a day file ending in NUL bytes, where its
// size was written and its data was not, or in part of a line. The NUL bytes
// at the end are cut away (no message holds one), however many, and a
// partial line is ended with a newline, so that the next line starts whole.
// Nothing before the last byte that is not NUL is touched; a file that ends
// in a newline costs one read of its last byte. fd is open for reading and
// appending; size is its size.
struct tail_repair {
    enum step { done, reading, cutting, ending };
    long long nul_bytes = 0;  // NUL bytes found at the end
    bool partial = false;     // the end before them was part of a line
    step failed = done;       // the step that failed, if one did
    int err = 0;              // and its errno; 0 when it moved fewer bytes than asked
};
tail_repair repair_tail(int fd, off_t size);
