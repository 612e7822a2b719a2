// The harness: starting the real programs, reading what they say, waiting
// for them to end; the listener started and read; a program paused.
#include "harness.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace kit {

namespace {

using clock = std::chrono::steady_clock;

// Splits a space-separated list.
std::vector<std::string> split_list(const std::string& list)
{
    std::vector<std::string> items;
    std::string item;
    std::istringstream in(list);
    while (std::getline(in, item, ' '))
        if (!item.empty())
            items.push_back(item);
    return items;
}

// Reads what is available on fd into text; false at the end of the stream.
// A regular file has no end: what comes later is read later.
bool drain(int fd, std::string& text, int wait_ms, bool file = false)
{
    if (fd < 0)
        return false;
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, wait_ms) <= 0)
        return true;
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
        text.append(buf, static_cast<std::size_t>(n));
        return true;
    }
    if (n == 0 && file) {
        std::this_thread::sleep_for(milliseconds(wait_ms));
        return true;
    }
    return n < 0 && errno == EINTR;
}

// Reads everything left on fd after the program ended.
void drain_all(int fd, std::string& text)
{
    std::size_t had;
    do
        had = text.size();
    while (drain(fd, text, 0) && text.size() != had);
}

bool wait_text(int fd, std::string& text, const std::string& want, milliseconds timeout,
               bool file = false)
{
    auto end = clock::now() + timeout;
    while (text.find(want) == std::string::npos) {
        if (clock::now() >= end)
            return false;
        if (!drain(fd, text, 20, file) && text.find(want) == std::string::npos)
            return false;
    }
    return true;
}

} // namespace

std::string program(const std::string& name)
{
    // CI runs the suite again on the programs a package holds, built with
    // the package's flags: KIT_PROGRAM_DIR names the directory.
    if (const char* dir = std::getenv("KIT_PROGRAM_DIR"); dir != nullptr && *dir != '\0')
        return std::string(dir) +
               (name == "brannic-retention" || name == "ovelsk-check-rules" ? "/../libexec/ovelsk-kit/" : "/") + name;
    const std::pair<const char*, const char*> built[] = {
        {"ovelsk", KIT_OVELSK}, {"brannic", KIT_BRANNIC}, {"brannic-retention", KIT_BRANNIC_RETENTION},
        {"pelmok", KIT_PELMOK}, {"ovelsk-check-rules", KIT_OVELSK_CHECK_RULES}};
    for (auto& [known, path] : built)
        if (name == known)
            return path;
    throw std::runtime_error("unknown program " + name);
}

bool emulated() { return !split_list(KIT_EMULATOR).empty(); }

proc start(const std::string& name, const std::vector<std::string>& args, const std::string& dir,
           const std::string& tz, const start_options& options)
{
    std::vector<std::string> argv = options.wrapper;
    std::vector<std::string> env = options.env;
    // stdbuf -oL: the listener reads what it sets, _STDBUF_O. Behind an
    // emulator it is set by hand: the host's stdbuf would preload a library
    // of the host's into the emulated program.
    if (options.out == console_kind::line_pipe && emulated())
        env.push_back("_STDBUF_O=L");
    else if (options.out == console_kind::line_pipe) {
        argv.push_back("stdbuf");
        argv.push_back("-oL");
    }
    for (auto& word : split_list(KIT_EMULATOR))
        argv.push_back(word);
    argv.push_back(program(name));
    argv.insert(argv.end(), args.begin(), args.end());

    // reader: this side's end; writer: the program's standard output.
    int reader = -1, writer = -1;
    switch (options.out) {
    case console_kind::terminal:
    case console_kind::cooked_terminal: {
        reader = posix_openpt(O_RDWR | O_NOCTTY);
        if (reader < 0 || grantpt(reader) != 0 || unlockpt(reader) != 0)
            throw std::runtime_error("no pseudo-terminal");
        writer = open(ptsname(reader), O_RDWR | O_NOCTTY);
        if (options.out == console_kind::terminal) {
            struct termios raw;
            tcgetattr(writer, &raw);
            cfmakeraw(&raw); // bytes pass as written: no \r added to \n
            tcsetattr(writer, TCSANOW, &raw);
        }
        break;
    }
    case console_kind::pipe:
    case console_kind::line_pipe:
    case console_kind::joined:
    case console_kind::socket: {
        int ends[2];
        if ((options.out == console_kind::socket ? socketpair(AF_UNIX, SOCK_STREAM, 0, ends) : pipe(ends)) != 0)
            throw std::runtime_error("no pipe or socket pair");
        reader = ends[0];
        writer = ends[1];
        break;
    }
    case console_kind::file:
        writer = open(options.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        reader = open(options.out_path.c_str(), O_RDONLY);
        if (writer < 0 || reader < 0)
            throw std::runtime_error("cannot open " + options.out_path);
        break;
    }
    int errpipe[2] = {-1, -1};
    if (options.out != console_kind::joined && pipe(errpipe) != 0)
        throw std::runtime_error("no pipe");
    int errwriter = options.out == console_kind::joined ? writer : errpipe[1];

    std::string tz_env = "TZ=" + tz;
    pid_t pid = fork();
    if (pid == 0) {
        setsid();
        // As a shell starts it: the test runner may ignore SIGPIPE, and an
        // ignored signal stays ignored across exec.
        signal(SIGPIPE, SIG_DFL);
        signal(SIGHUP, options.hup_ignored ? SIG_IGN : SIG_DFL);
        // As systemd hands over a service's stored sockets: descriptors 3
        // on, named in the environment with the pid that is to take them.
        // Moved out of the way first, as the outputs may lie there.
        static char listen_pid[32], listen_fds[32];
        std::snprintf(listen_pid, sizeof listen_pid, "LISTEN_PID=%d", static_cast<int>(getpid()));
        int handed[2] = {options.handed_first >= 0 ? fcntl(options.handed_first, F_DUPFD_CLOEXEC, 64) : -1,
                         options.handed >= 0 ? fcntl(options.handed, F_DUPFD_CLOEXEC, 64) : -1};
        int n_handed = 0;
        int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        dup2(writer, 1);
        dup2(errwriter, 2);
        // The program holds no end of its outputs but its own: a reader
        // that goes away must leave the pipe without readers.
        close(reader);
        if (errpipe[0] >= 0)
            close(errpipe[0]);
        for (int h : handed)
            if (h >= 0 && dup2(h, 3 + n_handed++) < 0)
                _exit(124);
        std::snprintf(listen_fds, sizeof listen_fds, "LISTEN_FDS=%d", n_handed);
        if (chdir(dir.c_str()) != 0)
            _exit(126);
        if (options.nobody && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
            _exit(125);
        std::vector<char*> cargv;
        for (auto& a : argv)
            cargv.push_back(const_cast<char*>(a.c_str()));
        cargv.push_back(nullptr);
        // stdbuf preloads a library of its own, which a sanitized build
        // must be told to accept.
        std::vector<char*> envp = {const_cast<char*>(tz_env.c_str()),
                                   const_cast<char*>("PATH=/usr/bin:/bin"),
                                   const_cast<char*>("ASAN_OPTIONS=verify_asan_link_order=0")};
        bool set_pid = n_handed > 0, set_fds = n_handed > 0; // unless the test sets them itself
        for (auto& e : env) {
            envp.push_back(const_cast<char*>(e.c_str()));
            set_pid = set_pid && e.rfind("LISTEN_PID=", 0) != 0;
            set_fds = set_fds && e.rfind("LISTEN_FDS=", 0) != 0;
        }
        if (set_pid)
            envp.push_back(listen_pid);
        if (set_fds)
            envp.push_back(listen_fds);
        envp.push_back(nullptr);
        execvpe(cargv[0], cargv.data(), envp.data()); // the emulator may be named by PATH
        _exit(127);
    }
    proc p;
    if (options.give_handed && options.handed >= 0)
        close(options.handed);
    if (options.give_handed && options.handed_first >= 0)
        close(options.handed_first);
    if (options.keep_shared)
        p.shared = writer;
    else
        close(writer);
    if (errpipe[1] >= 0)
        close(errpipe[1]);
    p.pid = pid;
    p.out = reader;
    p.err = errpipe[0];
    p.out_file = options.out == console_kind::file;
    return p;
}

bool proc::wait_out(const std::string& text, milliseconds timeout)
{
    return wait_text(out, out_text, text, timeout, out_file);
}

bool proc::wait_err(const std::string& text, milliseconds timeout)
{
    return wait_text(err, err_text, text, timeout);
}

void proc::read_for(milliseconds time)
{
    auto end = clock::now() + time;
    while (clock::now() < end) {
        drain(out, out_text, 10, out_file);
        drain(err, err_text, 10);
    }
}

int proc::wait_exit(milliseconds timeout)
{
    auto end = clock::now() + timeout;
    int status = 0;
    for (;;) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            break;
        if (clock::now() >= end)
            return -1;
        read_for(milliseconds(5));
    }
    pid = -1;
    // Whatever the program wrote before it ended is still in the pipes.
    drain_all(err, err_text);
    drain_all(out, out_text);
    end_signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void proc::stop()
{
    if (pid > 0) {
        kill(pid, SIGTERM);
        int status;
        waitpid(pid, &status, 0);
        pid = -1;
    }
}

proc::proc(proc&& o) noexcept { *this = std::move(o); }

proc& proc::operator=(proc&& o) noexcept
{
    std::swap(pid, o.pid);
    std::swap(out, o.out);
    std::swap(err, o.err);
    std::swap(shared, o.shared);
    std::swap(out_file, o.out_file);
    std::swap(out_text, o.out_text);
    std::swap(err_text, o.err_text);
    std::swap(end_signal, o.end_signal);
    return *this;
}

proc::~proc()
{
    stop();
    if (out >= 0)
        close(out);
    if (err >= 0)
        close(err);
    if (shared >= 0)
        close(shared);
}

int run(const std::string& name, const std::vector<std::string>& args, const std::string& dir,
        std::string* out, std::string* err, const std::string& tz, const start_options& options)
{
    proc p = start(name, args, dir, tz, options);
    int status = p.wait_exit(milliseconds(20000));
    if (out)
        *out = p.out_text;
    if (err)
        *err = p.err_text;
    return status;
}

listener::listener(const std::string& dir, const std::vector<std::string>& config,
                   const std::string& tz, const start_options& options)
    : port(options.port != 0 ? options.port : free_port())
{
    std::vector<std::string> args = {std::to_string(port)};
    args.insert(args.end(), config.begin(), config.end());
    p = start("ovelsk", args, dir, tz, options);
    if (!p.wait_out(ready()))
        ADD_FAILURE() << "the listener did not start: " << p.out_text << p.err_text;
}

std::string listener::ready() const
{
    return "Attente reception port udp " + std::to_string(port) + ".\n";
}

std::string listener::shown() const
{
    std::size_t at = p.out_text.find(ready());
    if (at == std::string::npos)
        return "";
    return masked(p.out_text.substr(at + ready().size()));
}

bool listener::wait_shown(const std::string& want)
{
    for (int i = 0; i < 250 && shown() != want; ++i)
        p.read_for(milliseconds(20));
    return shown() == want;
}

std::string output_of(const std::string& command)
{
    std::string out;
    FILE* p = popen((command + " 2>&1").c_str(), "r");
    char buf[512];
    while (p != nullptr && fgets(buf, sizeof buf, p))
        out += buf;
    if (p != nullptr)
        pclose(p);
    return out;
}

paused::paused(pid_t p) : pid(p) { kill(pid, SIGSTOP); }
paused::~paused() { kill(pid, SIGCONT); }

} // namespace kit
