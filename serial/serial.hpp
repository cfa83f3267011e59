#pragma once

#include <cstdint>

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

// Opens the device exclusively for reading and writing, never creating it.
// Returns the port, or -1 (nothing printed) when it is missing, busy or cannot be opened.
PortHandle serial_open(const char* name);

// 8N1, no flow control, DTR and RTS inactive, the time-outs above, at the decimal baud rate
// speed_text. Returns 0, or -1 when the line settings or the time-outs are refused.
int serial_configure(PortHandle port, const char* speed_text);

// One read of at most n bytes under the time-outs. Returns the count (1 to n), or -1 when the
// read failed or nothing came; never 0. Bytes beyond the count are left as they were.
int serial_read(PortHandle port, unsigned char* buffer, int n);

// One write of n bytes under the write time-out. Returns the count the platform wrote (0 when
// nothing went out in time) or -1 when the write failed; prints "Error sending data" on
// standard error whenever the result differs from n.
int serial_write(PortHandle port, const unsigned char* bytes, int n);

// Closes the port and drops its exclusive hold. Returns 0.
int serial_close(PortHandle port);

// 1 when the device is gone (unplugged, or the far end of a pseudo-terminal closed), else 0.
// A port that merely has nothing to say is not lost.
int serial_lost(PortHandle port);

// Drops the exclusive hold of every port still open. Async-signal-safe: called on the way out
// of the process, from exit handlers and from the signal path.
void serial_release_all();
