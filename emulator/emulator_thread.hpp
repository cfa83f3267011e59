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

struct Emulator {
    EmulatorScript script;
    int master = -1;
    // Held for the emulator's whole life (unless it watches clients) so the master never reads
    // EIO while the program has the port closed between two sessions.
    int slave_keep = -1;
    std::string slave_path;
    int wake_read = -1;
    int wake_write = -1;
    int watch = -1; // inotify, when the script watches clients
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
    std::vector<unsigned char> outgoing;
    std::size_t outgoing_done = 0;
    EmulatorStream stream;
    bool client_present = false; // when watching: the master's last word
    bool client_noticed = false; // an open was noticed since the last client left
    int own_opens = 0;           // the emulator's own opens of the slave not yet noticed
};
