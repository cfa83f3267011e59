#pragma once

// The program's side of an emulated adapter, as a plain descriptor on the slave: what the
// emulator's tests talk through, so that a fault in it shows here and not as a puzzling
// failure of the code tested against it. Reads go through read_within (process.hpp).

#include "emulator.hpp"
#include "process.hpp"
#include "test_cases.hpp"

#include <cstddef>
#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;

// Long enough to trust that nothing more is coming from an emulator that answers at once.
inline constexpr int quiet_ms = 60;

Bytes bytes_of(const std::string& text);

// Opens the device like a serial port (non-blocking, not the controlling terminal) and, unless
// told otherwise, takes the lock serial_open takes: a program of another test that opens this
// device by a name it had for its own is refused, and no byte of this test reaches it.
int open_device(const std::string& path, bool lock = true);
int open_slave(const Emulator& emulator, bool lock = true);

// Writes all bytes (a test failure when they do not go out).
void send_bytes(int fd, const Bytes& bytes);

// Whether the far end closes within timeout_ms.
bool hung_up(int fd, int timeout_ms);

// Brings the adapter into SPI mode and starts the sniffer.
void start_sniffer(int fd);
