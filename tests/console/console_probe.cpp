// Drives the console layer as a program would, reporting what it sees on stdout, one line
// per result. Usage:
//   take N                        N keys through keys_take
//   signal-as-key                 one key, with signals taken as keys
//   waiting                       keys_waiting until it is not 0, then the key
//   poll-once                     one keys_waiting
//   port-or-key PATH MS [signals] keys_wait_key_or_port on PATH ("-": no port)
//   flush FUNCTION                unflushed text, then FUNCTION blocks for a long time
//   hold-port PATH                serial_open PATH, then one key
//   fds                           the descriptors open at start
#include "keys.hpp"
#include "output.hpp"
#include "serial.hpp"
#include "session.hpp"
#include "timing.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

void report(const char* format, long long value) {
    std::printf(format, value);
    output_flush();
}

void ready() {
    std::printf("ready\n");
    output_flush();
}

int take(int count) {
    ready();
    for (int i = 0; i < count; ++i) report("%lld\n", keys_take());
    return 0;
}

int waiting() {
    ready();
    for (;;) {
        const int state = keys_waiting();
        if (state != 0) {
            report("%lld\n", state);
            if (state == 1) report("%lld\n", keys_take());
            return 0;
        }
        usleep(5000);
    }
}

int port_or_key(const char* path, int timeout_ms, bool signals) {
    if (signals) session_signals_as_key(true);
    const int port = std::strcmp(path, "-") == 0 ? -1 : open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (std::strcmp(path, "-") != 0 && port < 0) return 2;
    ready();
    const auto start = TimingClock::now();
    const int result = keys_wait_key_or_port(port, timeout_ms);
    const long long elapsed = timing_ms_since(start);
    int pending = 0;
    if (port >= 0) ioctl(port, FIONREAD, &pending);
    std::printf("%d %lld %d\n", result, elapsed, pending);
    return 0;
}

int flush(const char* function) {
    std::printf("pending\n");
    if (std::strcmp(function, "waiting") == 0) {
        keys_waiting();
        sleep(30);
    } else if (std::strcmp(function, "take") == 0) {
        keys_take();
    } else if (std::strcmp(function, "port") == 0) {
        keys_wait_key_or_port(port_not_open, 30000);
    } else {
        return 2;
    }
    return 0;
}

int fds() {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return 2;
    const int own = dirfd(dir);
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == own) continue;
        std::printf("%s\n", entry->d_name);
    }
    closedir(dir);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const char* mode = argv[1];
    // Before session_start, so that only the runner's descriptors are seen.
    if (std::strcmp(mode, "fds") == 0) return fds();
    session_start();
    if (std::strcmp(mode, "take") == 0 && argc == 3) return take(std::atoi(argv[2]));
    if (std::strcmp(mode, "signal-as-key") == 0) {
        session_signals_as_key(true);
        return take(1);
    }
    if (std::strcmp(mode, "waiting") == 0) return waiting();
    if (std::strcmp(mode, "poll-once") == 0) {
        ready();
        report("%lld\n", keys_waiting());
        return 0;
    }
    if (std::strcmp(mode, "port-or-key") == 0 && argc >= 4)
        return port_or_key(argv[2], std::atoi(argv[3]), argc == 5);
    if (std::strcmp(mode, "flush") == 0 && argc == 3) return flush(argv[2]);
    if (std::strcmp(mode, "hold-port") == 0 && argc == 3) {
        if (serial_open(argv[2]) < 0) return 2;
        return take(1);
    }
    return 2;
}
