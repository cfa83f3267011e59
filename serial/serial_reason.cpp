// Why a port did not open, in the same words on every platform; what differs between them comes
// from the platform's file (serial_platform.hpp).

#include "serial.hpp"

#include "serial_platform.hpp"

std::string serial_open_error_text(const char* name) {
    const std::string path = serial_whole_path(name);
    switch (serial_last_open_error()) {
    case serial_open_no_error: return "";
    case serial_open_missing: {
        const std::string present = serial_ports_present();
        return " No such device: " + path +
               (present.empty() ? "" : ". Serial ports present: " + present);
    }
    case serial_open_denied: {
        const std::string group = serial_port_group(path);
        if (group.empty()) return " Permission denied on " + path;
        return " Permission denied on " + path + ": it belongs to group " + group +
               ". Join the group with: sudo usermod -aG " + group + " $USER (then log in again)";
    }
    case serial_open_busy: return " " + path + " is busy: another program holds it open";
    case serial_open_not_a_port:
        return " " + path + " is not a serial port (" + serial_port_kind() +
               "); nothing was written to it";
    case serial_open_name_cut:
        return " Port name too long: it would be cut to " + std::string(serial_device_path(name)) +
               "; give the whole path instead, beginning with " + serial_path_root();
    case serial_open_failed: break;
    }
    return " Cannot open " + path + ": " + serial_open_failure_reason();
}
