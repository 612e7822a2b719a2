// The console: standard output for display lines, standard error for
// failure reports, written so that a slow, stalled or vanished reader never
// holds up the filing (console.cpp says how, for each kind of file).
#pragma once
#include <cstdarg>
#include <cstddef>

// Until console_open takes them over the streams are plain stdio; after, a
// line that cannot be written at once is dropped and counted, and never
// holds up the receive loop.
constexpr std::size_t console_block = 4096; // a pipe takes this much at once (PIPE_BUF)
// A file behind one or both streams, and what is pending for it.
struct console_file {
    int fd = -1;
    enum way { own, regular, socket, polled } how = own; // see console.cpp
    bool broken = false;  // the reader is gone: nothing more is written
    std::size_t len = 0;  // bytes pending in buf
    char buf[console_block] = {};
};
struct console {
    int number;          // 1 standard output, 2 standard error
    const char* too_slow; // said, with the count, before the next line shown
    const char* failed;   // the same when a write failed, with why
    console_file* file = nullptr; // nullptr: not taken over, written through stdio
    bool lines = true;   // line by line; otherwise in blocks
    unsigned long lost = 0; // lines dropped since the last notice
    int lost_err = 0;       // why the last write among them failed, or 0: too slow
};
extern console out_console;
extern console err_console;

// Whether standard output was asked to go line by line (stdbuf -oL or -o0).
bool stdbuf_lines();
// Takes both streams over from stdio, once the start-up lines are out.
void console_open();
// Takes the streams over onto the descriptors out and err (console_open's
// work, for the tests).
void console_attach(int out, int err);
// Gives the streams back to stdio, as at start-up (for the tests).
void console_reset();
// Writes one whole line (text ends in a newline), or drops and counts it.
void console_put(console& c, const char* text, std::size_t n);
// A report on standard error: head, then fmt filled as printf fills it,
// ending in a newline, put as one line. The listener's reports fit its
// buffer by their make; one that would not is ended with "...\n", never
// left without its end.
constexpr std::size_t report_max = 512;
void console_vreport(const char* head, const char* fmt, va_list ap);
void console_report(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Writes what both streams gathered, as far as the files take it at once
// (at the stop).
void console_flush();
// The time bound of a write to a file shared with another user (a terminal,
// a pipe), which may wait whatever poll said: armed, its signal interrupts
// the write every write_bound_us until disarmed, so that a write started
// late, after a pause of the listener, is still cut. False when the timer
// could not be armed: the write is then not tried.
bool arm_write_bound();
void disarm_write_bound();
