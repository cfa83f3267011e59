#pragma once

#include <cstdint>
#include <string>

// An open serial port: the platform's handle of the device. -1 is a port that is not open;
// callers treat any negative value as failure. Wide enough for a Windows HANDLE.
using PortHandle = std::intptr_t;

inline constexpr PortHandle port_not_open = -1;

// The process-wide area in which a port name is turned into a device path.
inline constexpr int device_path_size = 32;

// Line time-outs, in milliseconds. A read of up to n bytes returns when n bytes are in, or
// when no further byte follows the last one within read_interval_ms, and in any case
// read_total_constant_ms + read_total_multiplier_ms * n after it began. A write of n bytes
// gives up after write_total_constant_ms + write_total_multiplier_ms * n.
inline constexpr int read_interval_ms = 100;
inline constexpr int read_total_multiplier_ms = 10;
inline constexpr int read_total_constant_ms = 100;
inline constexpr int write_total_multiplier_ms = 10;
inline constexpr int write_total_constant_ms = 100;

// The device path that serial_open uses for name: unchanged when the name is already a path
// (begins with "/" on POSIX, "\" on Windows), else the platform prefix and the name, built in
// the process-wide area and cut to device_path_size - 1 characters.
const char* serial_device_path(const char* name);

// Opens the device exclusively for reading and writing, never creating it. Only a serial
// device is taken: anything else (a file, a pipe, a null device) is refused before a byte is
// written, and so is a name whose device path had to be cut (it would name another device).
// Returns the port, or -1 (nothing printed) when it is missing, busy or cannot be opened.
PortHandle serial_open(const char* name);

// Why the last serial_open failed.
enum SerialOpenError {
    serial_open_no_error,
    serial_open_missing,    // no such device
    serial_open_denied,     // no permission
    serial_open_busy,       // held by another program
    serial_open_not_a_port, // exists, but is not a serial device
    serial_open_name_cut,   // the device path would have been cut
    serial_open_failed,     // anything else
};

SerialOpenError serial_last_open_error();

// For the user, without a final newline: why the last serial_open of name failed and, for the
// common cases, what to do about it (a second line for a busy port's known holders). Empty when
// it did not fail.
std::string serial_open_error_text(const char* name);

// 8N1, no flow control, DTR and RTS inactive, the time-outs above, at the baud rate `rate`.
// Returns 0, or -1 when the line settings or the time-outs are refused (a rate of 0 or less
// always is); a refused line setting leaves the line as it was.
int serial_configure(PortHandle port, int rate);

// One read of at most n bytes under the time-outs. Returns the count (1 to n), or -1 when the
// read failed or nothing came; never 0. Bytes beyond the count are left as they were.
int serial_read(PortHandle port, unsigned char* buffer, int n);

// The capture read: takes every byte that is there now, up to n, and never waits (no inter-byte
// or total time-out). Returns the count (1 to n), or -1 when none is there or the read failed
// (see serial_lost); never 0. The time-outs above stay as they are for serial_read.
int serial_read_available(PortHandle port, unsigned char* buffer, int n);

// What a wait watches to learn that serial_read_available has bytes to take, or that the port
// needs looking at (serial_lost): on POSIX the port's descriptor, readable; on Windows an event,
// set by a read this call starts (unless one is under way) once the first bytes have come, or at
// once when bytes are still there. Those bytes wait for serial_read_available, in order.
// Returns -1 (POSIX) or 0 (Windows) when the port cannot be watched.
std::intptr_t serial_watch(PortHandle port);

// One write of n bytes under the write time-out. Returns the count the platform wrote (0 when
// nothing went out in time) or -1 when the write failed. Prints nothing.
int serial_write(PortHandle port, const unsigned char* bytes, int n);

// Closes the port and drops its exclusive hold. Returns 0.
int serial_close(PortHandle port);

// 1 when the device is gone (unplugged, or the far end of a pseudo-terminal closed), else 0.
// A port that merely has nothing to say is not lost.
int serial_lost(PortHandle port);

// Drops the exclusive hold of every port still open. Async-signal-safe: called on the way out
// of the process, from exit handlers and from the signal path.
void serial_release_all();
