#pragma once

#include "serial.hpp"

#include <gtest/gtest.h>

// A pseudo-terminal pair standing in for a serial device. No <termios.h> here: the termios2
// test includes <asm/termbits.h>, which clashes with it.

struct SerialPty {
    int master = -1;
    // A slave descriptor of the test's own, opened before the port: the line settings are read
    // through it, and it keeps the slave alive while the port is closed.
    int observer = -1;
    char slave_path[64] = {};
};

// Opens the pair and sets the slave raw. Returns 0, or -1.
int serial_pty_open(SerialPty* pty);

// Closes whatever of the pair is still open.
void serial_pty_close(SerialPty* pty);

// The far end goes away: the slave is hung up.
void serial_pty_close_master(SerialPty* pty);

// Writes all n bytes into the master. Returns 0, or -1.
int serial_pty_send(const SerialPty* pty, const unsigned char* bytes, int n);

// 1 when fd has input within timeout_ms (nothing is consumed), else 0.
int serial_pty_wait_readable(int fd, int timeout_ms);

// A port opened and configured at 115200 on a fresh pair, closed again by TearDown.
template <typename Base>
struct SerialPortTest : Base {
    SerialPty pty;
    PortHandle port = port_not_open;

    void SetUp() override {
        ASSERT_EQ(serial_pty_open(&pty), 0);
        port = serial_open(pty.slave_path);
        ASSERT_GE(port, 0);
        ASSERT_EQ(serial_configure(port, 115200), 0);
    }
    void TearDown() override {
        if (port >= 0) serial_close(port);
        serial_pty_close(&pty);
    }
};
