// Why a port did not open, in the same words on every platform; what differs between them comes
// from the platform's file (serial_platform.hpp).

#include "serial.hpp"

#include "serial_platform.hpp"

namespace {

// Programs that take serial ports on their own, and how to keep each off the adapter's.
struct SerialTaker {
    const char* name;
    const char* advice;
};

constexpr SerialTaker serial_takers[] = {
    {"ModemManager",
     " ModemManager probes every new serial port for a modem. Keep it off this one with a udev rule"
     " that sets ENV{ID_MM_DEVICE_IGNORE}=\"1\" for the device, or stop it: sudo systemctl stop "
     "ModemManager"},
    {"brltty",
     " brltty takes USB serial converters for braille displays. Without a braille display, remove "
     "it (sudo apt remove brltty) or disable its udev rules"},
};

// " is busy: held by NAME (pid N), ..." and, for a program known to take ports, a line on how to
// keep it off; the plain words when the holders cannot be told.
std::string serial_busy_text(const std::string& path) {
    const std::vector<SerialHolder> holders = serial_port_holders(path);
    if (holders.empty()) return " " + path + " is busy: another program holds it open";
    std::string text = " " + path + " is busy: held by ";
    std::string advice;
    for (std::size_t i = 0; i < holders.size(); ++i) {
        text += (i == 0 ? "" : ", ") + holders[i].name + " (pid " +
                std::to_string(holders[i].pid) + ")";
        for (const SerialTaker& taker : serial_takers)
            if (holders[i].name == taker.name && advice.find(taker.advice) == std::string::npos)
                advice += std::string("\n") + taker.advice;
    }
    return text + advice;
}

} // namespace

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
    case serial_open_busy: return serial_busy_text(path);
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
