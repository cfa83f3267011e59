#include "serial.hpp"

#include "serial_platform.hpp"
#include "serial_windows.hpp"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

char serial_path_area[device_path_size];
constexpr char serial_path_prefix[] = "\\\\.\\";

SerialOpenError serial_open_error = serial_open_no_error;
DWORD serial_open_code = 0;

constexpr char serial_xon_char = 0x11;
constexpr char serial_xoff_char = 0x13;

SerialHold serial_holds[16];

PortHandle serial_refuse(SerialOpenError error, DWORD code, HANDLE handle = INVALID_HANDLE_VALUE) {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    serial_open_error = error;
    serial_open_code = code;
    return port_not_open;
}

SerialOpenError serial_error_of_open(DWORD code) {
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_NETPATH:
    case ERROR_INVALID_NAME: return serial_open_missing;
    // A COM port that another program has open is refused with "access denied": on Windows
    // the port's own permissions never refuse its user.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: return serial_open_busy;
    default: return serial_open_failed;
    }
}

// The lock for the device path, one name per device whatever the case of its letters. Returns
// false when another process holds it; a lock the system will not make is no reason to refuse.
bool serial_take_lock(const char* path, HANDLE& lock) {
    std::string name = "tapwright-port-";
    for (const char* c = path; *c != '\0'; ++c)
        name += *c == '\\' ? '/' : static_cast<char>(std::toupper(static_cast<unsigned char>(*c)));
    // Across sessions where the user may make global names; else within the user's session.
    lock = CreateMutexA(nullptr, FALSE, ("Global\\" + name).c_str());
    if (lock == nullptr) lock = CreateMutexA(nullptr, FALSE, ("Local\\" + name).c_str());
    if (lock == nullptr || GetLastError() != ERROR_ALREADY_EXISTS) return true;
    CloseHandle(lock);
    lock = nullptr;
    return false;
}

void serial_forget(SerialHold& hold) {
    for (const HANDLE handle : {hold.lock, hold.io_event, hold.capture_event})
        if (handle != nullptr) CloseHandle(handle);
    hold = SerialHold{};
}

} // namespace

SerialHold* serial_hold(PortHandle port) {
    if (port == port_not_open) return nullptr;
    for (SerialHold& hold : serial_holds)
        if (hold.port == port) return &hold;
    return nullptr;
}

HANDLE serial_handle(PortHandle port) {
    return reinterpret_cast<HANDLE>(port);
}

COMMTIMEOUTS serial_line_timeouts() {
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = read_interval_ms;
    timeouts.ReadTotalTimeoutMultiplier = read_total_multiplier_ms;
    timeouts.ReadTotalTimeoutConstant = read_total_constant_ms;
    timeouts.WriteTotalTimeoutMultiplier = write_total_multiplier_ms;
    timeouts.WriteTotalTimeoutConstant = write_total_constant_ms;
    return timeouts;
}

const char* serial_device_path(const char* name) {
    if (name[0] == '\\') return name;
    std::snprintf(serial_path_area, sizeof serial_path_area, "\\\\.\\%s", name);
    return serial_path_area;
}

PortHandle serial_open(const char* name) {
    const char* path = serial_device_path(name);
    if (name[0] != '\\' && std::strlen(serial_path_prefix) + std::strlen(name) >= device_path_size)
        return serial_refuse(serial_open_name_cut, 0);
    const HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr)
        return serial_refuse(serial_error_of_open(GetLastError()), GetLastError());
    // Only a communications device has a line state; a file or a pipe is refused unwritten.
    DCB line{};
    line.DCBlength = sizeof(DCB);
    if (!GetCommState(handle, &line))
        return serial_refuse(serial_open_not_a_port, GetLastError(), handle);
    SerialHold* hold = std::find_if(std::begin(serial_holds), std::end(serial_holds),
                                    [](const SerialHold& h) { return h.port == port_not_open; });
    if (hold == std::end(serial_holds)) return serial_refuse(serial_open_failed, 0, handle);
    if (!serial_take_lock(path, hold->lock))
        return serial_refuse(serial_open_busy, ERROR_ACCESS_DENIED, handle);
    hold->io_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    hold->capture_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (hold->io_event == nullptr || hold->capture_event == nullptr) {
        serial_forget(*hold);
        return serial_refuse(serial_open_failed, GetLastError(), handle);
    }
    hold->port = reinterpret_cast<PortHandle>(handle);
    serial_open_error = serial_open_no_error;
    return hold->port;
}

SerialOpenError serial_last_open_error() {
    return serial_open_error;
}

// The COM ports the system lists, "COM1, COM3", or "" when there are none.
std::string serial_ports_present() {
    HKEY ports = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &ports) !=
        ERROR_SUCCESS)
        return "";
    std::string names;
    for (DWORD index = 0;; ++index) {
        char value_name[256];
        DWORD value_name_size = sizeof value_name;
        char port[256] = {};
        DWORD port_size = sizeof port - 1;
        DWORD type = 0;
        const LONG result = RegEnumValueA(ports, index, value_name, &value_name_size, nullptr,
                                          &type, reinterpret_cast<BYTE*>(port), &port_size);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result != ERROR_SUCCESS || type != REG_SZ || port[0] == '\0') continue;
        if (!names.empty()) names += ", ";
        names += port;
    }
    RegCloseKey(ports);
    return names;
}

std::string serial_whole_path(const char* name) {
    return name[0] == '\\' ? name : serial_path_prefix + std::string(name);
}

char serial_path_root() {
    return '\\';
}

const char* serial_port_kind() {
    return "not a communications device";
}

// On Windows a port's own permissions never refuse its user: there is no group to join.
// Windows does not tell who has a COM port open without walking every process's handles.
std::vector<SerialHolder> serial_port_holders(const std::string&) {
    return {};
}

std::string serial_port_group(const std::string&) {
    return "";
}

std::string serial_open_failure_reason() {
    return "error " + std::to_string(serial_open_code);
}

int serial_configure(PortHandle port, int rate) {
    if (rate <= 0) return -1; // a rate of 0 would hang the line up
    if (SerialHold* hold = serial_hold(port)) serial_capture_stop(*hold);
    // Zeros give no parity, one stop bit, DTR and RTS disabled, no flow control.
    DCB line{};
    line.DCBlength = sizeof(DCB);
    line.BaudRate = static_cast<DWORD>(rate);
    line.ByteSize = 8;
    // SetCommState refuses equal XON and XOFF characters even with XON/XOFF off; these are the
    // documented defaults, and with fOutX and fInX clear they never act on the line.
    line.XonChar = serial_xon_char;
    line.XoffChar = serial_xoff_char;
    if (!SetCommState(serial_handle(port), &line)) return -1;

    COMMTIMEOUTS timeouts = serial_line_timeouts();
    return SetCommTimeouts(serial_handle(port), &timeouts) ? 0 : -1;
}

int serial_close(PortHandle port) {
    if (SerialHold* hold = serial_hold(port)) {
        // Before the handle goes: the read under way writes into the hold's area.
        serial_capture_stop(*hold);
        serial_forget(*hold);
    }
    CloseHandle(serial_handle(port));
    return 0;
}

// Exclusive opens end with the process.
void serial_release_all() {}
