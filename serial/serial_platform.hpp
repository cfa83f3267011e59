#pragma once

#include <string>
#include <vector>

// What the words for a port that did not open (serial_open_error_text) take from the platform.

// The device path a name stands for, never cut.
std::string serial_whole_path(const char* name);

// What the platform calls a serial port, for " ... is not a serial port (...)".
const char* serial_port_kind();

// The serial ports present, "a, b", or "" when there are none.
std::string serial_ports_present();

// The group whose members may use the device, or "" when there is none to join.
std::string serial_port_group(const std::string& path);

// The system's own words for why the last open failed.
std::string serial_open_failure_reason();

// The character a path that is used as it stands begins with.
char serial_path_root();

// A process that has the device open.
struct SerialHolder {
    long pid;
    std::string name;
};

// Who holds the device at path: the process that has it locked, else every other process that
// has it open. Processes we may not look into are passed over; empty where the platform cannot
// tell.
std::vector<SerialHolder> serial_port_holders(const std::string& path);
