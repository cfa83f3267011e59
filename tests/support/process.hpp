#pragma once

// Runs a program under test as a child process with its standard input fed by the test
// (a pipe, or a pseudo-terminal whose master the test keeps) and its output collected.
// Every wait has a time-out; a child still running when its Process goes away is killed
// and reaped, and every descriptor is closed.
//
// With TAPWRIGHT_WINE_BIN set to a folder of the Windows build's programs and its launcher.exe,
// a program is run as its .exe under wine instead, through the launcher, with the argv[0] the
// test gives: TAPWRIGHT_WINE_KEYS=pipe passes standard input on as it is, otherwise its bytes are
// typed as key events on a console of the program's own. Lines come back ending in LF alone.

#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <termios.h>
#include <vector>

struct ProcessOptions {
    bool stdin_terminal = false;        // stdin is a pty slave, its controlling terminal
    bool merge_output = false;          // stderr into the stdout pipe, in the order written
    int stdout_fd = -1; // when set, stdout is this (a file, a terminal) instead of a pipe
    int stderr_fd = -1; // when set, stderr is this (the null device, say) instead of a pipe
    // In the caller's session, not a session of its own: a terminal it opens never becomes its
    // controlling terminal, whose hang-up would kill it.
    bool same_session = false;
    std::vector<std::string> extra_env; // "NAME=value", replacing an inherited NAME
    std::optional<struct termios> terminal_mode; // the pty's mode before the child starts
};

struct Process {
    pid_t pid = -1;
    int stdin_fd = -1; // pipe write end, or the pty master
    int out_fd = -1;
    int err_fd = -1;
    std::string terminal_path; // the pty slave, when stdin_terminal
    std::string out;           // stdout (and stderr when merged) so far
    std::string err;
    bool reaped = false;
    bool exited = false; // ended by exit(): status holds the exit code
    int status = -1;
    int signal = 0; // the signal that killed it, when it died of one
    bool timed_out = false;
    double cpu_seconds = 0; // user + system over its whole life, once reaped
    long max_rss_kib = 0;   // its peak resident size, once reaped

    Process() = default;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    ~Process();
};

// The name a program under test is given for a serial device: its path, or under wine a COM
// port that the wine prefix ($WINEPREFIX) links to it.
std::string process_port_name(const std::string& device_path);

// Starts path with args (argv[1]...); a path without a slash is looked up in PATH, as a shell
// does. Returns false, with p left empty, when the program cannot be started.
bool process_start(Process& p, const std::string& path, const std::vector<std::string>& args,
                   const ProcessOptions& options = {});

// Writes all bytes to the child's stdin, collecting its output meanwhile. Returns false when
// stdin is closed, the child stopped reading, or timeout_ms passed.
bool process_send(Process& p, std::string_view bytes, int timeout_ms = 5000);

// End of input for a pipe; for a terminal, a hang-up.
void process_close_stdin(Process& p);

// Collects output until stdout (with stderr when merged) contains text, the output ends, or
// timeout_ms pass. Returns whether the text came.
bool process_wait_for_output(Process& p, std::string_view text, int timeout_ms);
bool process_wait_for_error(Process& p, std::string_view text, int timeout_ms);

// Collects whatever output comes within timeout_ms. Returns whether any did.
bool process_pump(Process& p, int timeout_ms);

void process_signal(Process& p, int sig);

// Collects output to its end and reaps the child; after timeout_ms it is killed (SIGKILL)
// and timed_out set. Returns true when the child ended by itself in time.
bool process_wait(Process& p, int timeout_ms);

// 1 while the child runs, 0 once it has ended (and is reaped).
int process_running(Process& p);

// Kills the child if still running, reaps it, closes every descriptor. Idempotent.
void process_end(Process& p);

// Linux accounting of a running child, -1 when unavailable: CPU time used (user + system)
// and voluntary context switches (each wake-up from a blocking wait counts one).
long process_cpu_ms(const Process& p);
long process_wakeups(const Process& p);

// A pseudo-terminal pair; raw puts the slave in raw mode (no echo, no line editing, no
// character translation). Both ends close-on-exec, the slave not a controlling terminal.
struct PtyPair {
    int master = -1;
    int slave = -1;
    std::string slave_path;
};

// Returns the pair, or master and slave -1 on failure.
PtyPair pty_open(bool raw);
void pty_close(PtyPair& pty);

// A folder of the test's own under /tmp, removed with all it holds when it goes, so that a test
// that stops half-way leaves nothing behind.
struct TempFolder {
    std::string path; // "" when none could be made
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
};

// Reads fd until `want` bytes are in, the far end hangs up, timeout_ms have passed in all (-1: no
// limit), or nothing has come for quiet_ms (-1: no such limit). Returns what came.
std::vector<unsigned char> read_within(int fd, std::size_t want, int timeout_ms, int quiet_ms = -1);
