#pragma once

#include <csignal>

// A USB serial converter hands its bytes over when its buffer fills or its latency timer runs
// out (16 ms by default); a driver told the port wants low latency shortens that wait. Drivers
// that have no such setting (a pseudo-terminal) refuse, and nothing changes.

// Asks the driver of fd for low latency. changed is set to 1 just before the setting changes, and
// back to 0 if the driver refuses, so that a signal in between still finds what to put back; it
// stays 0 when the setting was on already or the driver has none.
void serial_set_low_latency(int fd, volatile std::sig_atomic_t& changed);

// Puts back what serial_set_low_latency changed. Async-signal-safe.
void serial_clear_low_latency(int fd);
