// End-to-end helpers: run a real program with its standard output on a raw
// pseudo-terminal (so the listener line-buffers it as on a console) and its
// standard error on a pipe, send datagrams to 127.0.0.1, read files whole.
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <netinet/in.h>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kit {

using std::chrono::milliseconds;

struct proc {
    pid_t pid = -1;
    int out = -1; // where the program's standard output is read: a terminal's
                  // master, a pipe, a socket or a file
    int err = -1; // pipe: the program's standard error (-1 when joined to out)
    int shared = -1; // when kept: this side's copy of the description the
                     // program's standard output was given
    bool out_file = false; // out is a regular file: its end is no end
    std::string out_text;
    std::string err_text;
    int end_signal = 0; // the signal that ended it, once wait_exit saw it end

    // Reads the output until it contains text; false after the timeout.
    bool wait_out(const std::string& text, milliseconds timeout = milliseconds(5000));
    bool wait_err(const std::string& text, milliseconds timeout = milliseconds(5000));
    // Reads whatever both outputs give for a while.
    void read_for(milliseconds time);
    // Waits for the program to end; returns its exit status, or -1 when it
    // did not end in time or ended by a signal (end_signal then says which).
    // Drains both outputs.
    int wait_exit(milliseconds timeout = milliseconds(5000));
    void stop(); // ends it with SIGTERM and reaps it
    proc() = default;
    proc(const proc&) = delete;
    proc& operator=(const proc&) = delete;
    proc(proc&& o) noexcept;
    proc& operator=(proc&& o) noexcept;
    ~proc();
};

// Path of a built program by name ("ovelsk", "brannic", "brannic-retention",
// "pelmok", "ovelsk-check-rules").
std::string program(const std::string& name);

// How a program's standard output is connected: a raw pseudo-terminal; one
// left as a shell leaves it (cooked: \n written as \r\n); a pipe (stdio then writes in blocks); a pipe under stdbuf -oL; one end of a
// stream socket pair, as the system journal gives a service; a regular file;
// or one pipe for both standard output and standard error.
enum class console_kind { terminal, cooked_terminal, pipe, line_pipe, socket, file, joined };

struct start_options {
    console_kind out = console_kind::terminal;
    std::string out_path;        // the file, for console_kind::file
    bool keep_shared = false;    // keep proc::shared open
    bool nobody = false;         // run as the user nobody (65534), when root
    bool hup_ignored = false;    // started with SIGHUP ignored, as nohup does
    int handed = -1;             // a socket handed over as a service manager does (LISTEN_FDS)
    int handed_first = -1;       // another, handed before it
    bool give_handed = false;    // both closed on this side once handed
    int port = 0;                // the listener's port (struct listener); 0: a free one
    std::vector<std::string> wrapper; // command words put in front (for example unshare -n)
    std::vector<std::string> env;     // NAME=value, beside TZ and PATH
    start_options(console_kind kind = console_kind::terminal) : out(kind) {}
    explicit start_options(std::vector<std::string> environment) : env(std::move(environment)) {}
};

// Starts a program with the given arguments in dir, with TZ set to tz.
// The test target's emulator, if any, is put in front of it, and before that
// the command words of options.wrapper.
proc start(const std::string& name, const std::vector<std::string>& args,
           const std::string& dir, const std::string& tz = "Europe/Paris",
           const start_options& options = {});

// Whether the programs run behind an emulator (the cross-built suite).
bool emulated();

// Runs a program to its end; returns its exit status (-1 on a time-out).
int run(const std::string& name, const std::vector<std::string>& args, const std::string& dir,
        std::string* out, std::string* err, const std::string& tz = "Europe/Paris",
        const start_options& options = {});

// A UDP socket bound to address (host order: INADDR_LOOPBACK, INADDR_ANY)
// and port; port 0 lets the system choose, and is set to what it chose.
int udp_socket_on(std::uint32_t address, int& port);
// A UDP port that nothing is bound to at the moment of the call.
int free_port();
// Sends one datagram to 127.0.0.1:port.
void send_to(int port, const std::string& payload);
// Many datagrams to 127.0.0.1:port from one socket; counts what was sent.
struct udp_sender {
    int fd;
    long sent = 0;
    explicit udp_sender(int port);
    ~udp_sender();
    udp_sender(const udp_sender&) = delete;
    udp_sender& operator=(const udp_sender&) = delete;
    void send(const std::string& payload);
};
// The kernel's count of datagrams it dropped at the IPv4 socket bound to
// port (from /proc/net/udp), or -1 when there is none.
long long kernel_drops(int port);

// A service manager's notify socket, as systemd gives a notify service in
// NOTIFY_SOCKET: what the program tells it, and the descriptor it hands
// over with it (its socket, to keep in the manager's store).
struct manager {
    std::string name; // a path, or an abstract name written with a leading @
    int fd = -1;
    explicit manager(const std::string& name);
    ~manager();
    manager(const manager&) = delete;
    manager& operator=(const manager&) = delete;
    std::string env() const { return "NOTIFY_SOCKET=" + name; }
    // The next message, "" when none came in time; *handed gets the
    // descriptor it came with, or -1.
    std::string next(int* handed = nullptr, milliseconds timeout = milliseconds(10000));
};

// A fresh temporary directory, removed with its files by the destructor.
struct temp_dir {
    std::string path;
    temp_dir();
    ~temp_dir();
    std::string file(const std::string& name) const { return path + "/" + name; }
};

// A test that works in a fresh temporary directory, made its working
// directory for the test's time.
class in_temp_dir : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    temp_dir dir_;

private:
    std::string old_;
};

std::string read_file(const std::string& path); // "" when missing
bool exists(const std::string& path);
void write_file(const std::string& path, const std::string& text);
// Polls until the file holds at least size bytes; returns its text.
std::string wait_file(const std::string& path, std::size_t size,
                      milliseconds timeout = milliseconds(5000));

// Sets TZ to tz for this process (the fresh state puts it back after the
// test).
void use_tz(const std::string& tz);

// What a shell command prints on its standard output and error.
std::string output_of(const std::string& command);

// Rule lines from..to (not included): "kI KIND pI_", one a line.
std::string rule_lines(int from, int to, char kind);

// "%Y_%m_%d" and other strftime formats of a time in the zone tz.
std::string local_text(const char* format, long long when, const std::string& tz);

// A listener started in dir on options.port (a free one by default), with
// the given configuration arguments; the constructor waits until it listens.
struct listener {
    int port;
    proc p;
    listener(const std::string& dir, const std::vector<std::string>& config,
             const std::string& tz = "Europe/Paris", const start_options& options = {});
    std::string ready() const; // its last start-up line
    // The console lines after the start-up lines, times masked.
    std::string shown() const;
    // Waits until the console shows exactly want after the start-up lines.
    bool wait_shown(const std::string& want);
};

// Whether text holds, at at, the shape: '9' a digit, any other character
// itself.
bool shaped(const std::string& text, std::size_t at, const char* shape);
// Display times and log stamps vary; masked() replaces them so that the rest
// is compared byte for byte.
std::string masked(const std::string& text);
// A display line and a log line of a message from 127.0.0.1, masked.
std::string shown_line(const std::string& msg);
std::string logged(const std::string& msg);
// The length of the log line of msg as filed, its stamp unmasked.
std::size_t logged_size(const std::string& msg);

// A file size limit for this process while it lives (its signal ignored, so
// that a write past it fails with EFBIG). It holds for every file written,
// a captured standard error too.
struct file_size_limit {
    explicit file_size_limit(unsigned long bytes);
    ~file_size_limit();
    file_size_limit(const file_size_limit&) = delete;
    file_size_limit& operator=(const file_size_limit&) = delete;

private:
    unsigned long old_cur_, old_max_;
    void (*ignored_)(int);
};

// Mounts a file system of kib KiB at dir (made if missing), in a mount
// namespace of this test process's own, so that a full disk can be tested.
// Needs root; false when it cannot be done. Unmounted by the destructor.
struct small_disk {
    std::string dir;
    bool ok = false;
    small_disk(const std::string& dir, int kib);
    ~small_disk();
};

// "%Y_%m_%d" of the calendar date n days before today in the zone tz.
std::string days_ago(int n, const std::string& tz);

// The zone the end-to-end tests run the programs in, and today there.
inline const std::string tz = "Europe/Paris";
inline std::string today() { return days_ago(0, tz); }

// A numbered message: letter, five digits, then pad characters x after a
// blank when pad is given.
std::string numbered(char letter, int i, std::size_t pad = 0);

// A program stopped (SIGSTOP) while it lives, so that what is sent to it
// waits in its queue; it goes on (SIGCONT) whatever fails meanwhile.
struct paused {
    pid_t pid;
    explicit paused(pid_t p);
    ~paused();
    paused(const paused&) = delete;
    paused& operator=(const paused&) = delete;
};

} // namespace kit
