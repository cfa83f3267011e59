#pragma once

// The record behind Emulator*, for the emulator's own files. The descriptors are set up before
// the thread starts and closed after it has ended; the fields under the mutex are shared with
// the callers; the rest belongs to the thread alone.

#include "emulator.hpp"
#include "emulator_protocol.hpp"
#include "emulator_stream.hpp"

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Who has the slave open, as far as the thread knows, when the script watches clients.
struct EmulatorWatch {
    int fd = -1;                 // inotify
    bool client_present = false; // the master's last word
    bool client_noticed = false; // an open was noticed since the last client left
    int own_opens = 0;           // the emulator's own opens of the slave not yet noticed
};

struct Emulator {
    EmulatorScript script;
    int master = -1;
    // Held for the emulator's whole life (unless it watches clients) so the master never reads
    // EIO while the program has the port closed between two boards.
    int slave_keep = -1;
    std::string slave_path;
    int wake_read = -1;
    int wake_write = -1;
    std::thread thread;

    // Shared with the callers: guarded by mutex.
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<unsigned char> received;
    std::size_t sent = 0;
    bool stop_requested = false;
    bool hangup_requested = false;
    bool hung_up = false;
    EmulatorClients clients;

    // The thread's own.
    EmulatorProtocol protocol;
    // Emptied once all of it is out, so the next piece of the stream starts it afresh.
    std::vector<unsigned char> outgoing;
    std::size_t outgoing_done = 0;
    EmulatorStream stream;
    EmulatorWatch watch;
};

// Writes one byte to script.notify_fd, never blocking.
void emulator_notify(const Emulator& emulator);

// The client watch (emulator_watch.cpp). Sets it up when the script asks for it; returns false
// when it could not be had.
bool emulator_watch_open(Emulator& emulator);

// Whether the script watches clients and none has the slave open: the master then reports a
// hang-up at every look, and nobody is left to read what was sent.
bool emulator_watch_idle(const Emulator& emulator);

// Reads the notices of opens and closes, then looks at the clients.
void emulator_watch_read(Emulator& emulator);

// Looks whether a client is there; when the last one has gone, cleans up for the next, then tells
// the waiters.
void emulator_watch_check(Emulator& emulator);

// Bytes sent that the program has not read yet (0 when watched and nobody is there), or -1
// when that cannot be told.
int emulator_slave_unread(Emulator& emulator);
