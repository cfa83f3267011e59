// The client watch: who has the slave open, learnt from inotify and the master, and a clean
// start for the next client once the last one has gone.

#include "emulator_thread.hpp"

#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Opens the slave for a look at it; the open is the emulator's own and no client's.
int probe_slave(Emulator& emulator) {
    const int fd = open(emulator.slave_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) ++emulator.watch.own_opens;
    return fd;
}

// The last client has gone: neither its unanswered bytes nor the replies and stream it left
// unread may greet the next one.
void clean_up_for_next_client(Emulator& emulator) {
    emulator_protocol_next_client(emulator.protocol);
    emulator.stream.streaming = false;
    emulator.outgoing.clear();
    emulator.outgoing_done = 0;
    if (emulator.master >= 0) tcflush(emulator.master, TCIFLUSH);
    const int slave = probe_slave(emulator);
    if (slave < 0) return;
    tcflush(slave, TCIFLUSH);
    // A client that was killed never dropped its exclusive hold, and the hold outlives it: the
    // next client would be refused (only root opens an exclusive terminal).
    ioctl(slave, TIOCNXCL);
    close(slave);
}

} // namespace

// Watched, the emulator lets go of the slave, so that the master tells when the last client
// has gone; the slave keeps the raw mode set through the hold.
bool emulator_watch_open(Emulator& emulator) {
    if (!emulator.script.watch_clients) return true;
    close(emulator.slave_keep);
    emulator.slave_keep = -1;
    emulator.watch.fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (emulator.watch.fd < 0) return false;
    return inotify_add_watch(emulator.watch.fd, emulator.slave_path.c_str(), IN_OPEN | IN_CLOSE) >=
           0;
}

bool emulator_watch_idle(const Emulator& emulator) {
    return emulator.watch.fd >= 0 && !emulator.watch.client_present;
}

// The master reports a hang-up exactly while no one has the slave open, the emulator holding
// none of its own in this mode: that is the truth the notices from the watch lead to.
void emulator_watch_check(Emulator& emulator) {
    if (emulator.master < 0) return;
    pollfd look = {emulator.master, 0, 0};
    if (poll(&look, 1, 0) < 0) return;
    EmulatorWatch& watch = emulator.watch;
    const bool present = (look.revents & POLLHUP) == 0;
    // A client that came and went between two looks was noticed all the same.
    const bool ended = !present && (watch.client_present || watch.client_noticed);
    const bool changed = present != watch.client_present || ended;
    watch.client_present = present;
    if (ended) watch.client_noticed = false;
    if (!changed) return;
    // Cleaned up before anyone is told, so that a client told to go on finds it clean.
    if (ended) clean_up_for_next_client(emulator);
    {
        std::lock_guard lock(emulator.mutex);
        emulator.clients.present = present;
        if (ended) ++emulator.clients.departures;
        emulator.changed.notify_all();
    }
    emulator_notify(emulator);
}

// Notices are only hints: the kernel folds repeated ones into one, and the emulator's own
// looks at the slave cause them too.
void emulator_watch_read(Emulator& emulator) {
    EmulatorWatch& watch = emulator.watch;
    alignas(inotify_event) char events[4096];
    for (;;) {
        const ssize_t count = read(watch.fd, events, sizeof events);
        if (count <= 0) break;
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= count;) {
            inotify_event event;
            std::memcpy(&event, events + at, sizeof event);
            at += static_cast<ssize_t>(sizeof event + event.len);
            if ((event.mask & IN_Q_OVERFLOW) != 0) {
                watch.own_opens = 0;
                watch.client_noticed = true;
            }
            if ((event.mask & IN_OPEN) == 0) continue;
            if (watch.own_opens > 0)
                --watch.own_opens;
            else
                watch.client_noticed = true;
        }
    }
    emulator_watch_check(emulator);
}

// Without a slave of its own, the emulator must open one for a look, and a client that holds
// the port exclusively keeps out a look from anyone but root.
int emulator_slave_unread(Emulator& emulator) {
    if (emulator_watch_idle(emulator)) return 0;
    const bool probing = emulator.slave_keep < 0;
    const int fd = probing ? probe_slave(emulator) : emulator.slave_keep;
    if (fd < 0) return -1;
    int unread = 0;
    const int result = ioctl(fd, FIONREAD, &unread);
    if (probing) close(fd);
    return result == 0 ? unread : -1;
}
