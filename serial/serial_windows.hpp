#pragma once

// Inside the Windows serial layer: what its files know of each open port.

#include "serial.hpp"

#include <cstddef>
#include <vector>

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

// Which read time-outs the port has: the line's (serial.hpp), or one of the capture's two.
enum SerialReadMode {
    serial_read_line,
    serial_read_available_now, // hands over what is there, and never waits
    serial_read_no_limit,      // waits as long as it takes for the bytes asked for
};

// An open port. Ports are opened for overlapped I/O, so that a wait can watch the port together
// with the keyboard; every read and write but the capture's waits for its own end at once.
struct SerialHold {
    PortHandle port = port_not_open;
    // Keeps a second instance of our programs off the port: wine, and some virtual port
    // drivers, open a port twice whatever the share mode says.
    HANDLE lock = nullptr;
    HANDLE io_event = nullptr; // the read or write under way
    SerialReadMode read_mode = serial_read_line;
    // The capture (serial_watch, serial_read_available): a read into area that ends once bytes
    // have come, under way while the port is watched.
    HANDLE capture_event = nullptr;
    OVERLAPPED capture{};
    bool capture_reading = false; // the read is under way
    std::vector<unsigned char> area;
    std::size_t taken = 0; // area[taken, filled) came and is not handed out yet
    std::size_t filled = 0;
};

// The hold of an open port, or null.
SerialHold* serial_hold(PortHandle port);

HANDLE serial_handle(PortHandle port);

// The line time-outs of serial.hpp, as the port takes them.
COMMTIMEOUTS serial_line_timeouts();

// Ends the capture: the read under way is cancelled (what it took stays for the next read) and
// the line time-outs are back.
void serial_capture_stop(SerialHold& hold);
