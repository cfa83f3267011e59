#include "serial.hpp"

#include "output.hpp"

#include <cstdio>
#include <cstdlib>

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace {

char serial_path_area[device_path_size];

HANDLE serial_handle(PortHandle port) {
    return reinterpret_cast<HANDLE>(port);
}

} // namespace

const char* serial_device_path(const char* name) {
    if (name[0] == '\\') return name;
    std::snprintf(serial_path_area, sizeof serial_path_area, "\\\\.\\%s", name);
    return serial_path_area;
}

PortHandle serial_open(const char* name) {
    const HANDLE handle = CreateFileA(serial_device_path(name), GENERIC_READ | GENERIC_WRITE, 0,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return port_not_open;
    return reinterpret_cast<PortHandle>(handle);
}

int serial_configure(PortHandle port, const char* speed_text) {
    // Zeros give no parity, one stop bit, DTR and RTS disabled, no flow control.
    DCB line{};
    line.DCBlength = sizeof(DCB);
    line.BaudRate = std::strtoul(speed_text, nullptr, 10);
    line.ByteSize = 8;
    if (!SetCommState(serial_handle(port), &line)) return -1;

    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = read_interval_ms;
    timeouts.ReadTotalTimeoutMultiplier = read_total_multiplier_ms;
    timeouts.ReadTotalTimeoutConstant = read_total_constant_ms;
    timeouts.WriteTotalTimeoutMultiplier = write_total_multiplier_ms;
    timeouts.WriteTotalTimeoutConstant = write_total_constant_ms;
    if (!SetCommTimeouts(serial_handle(port), &timeouts)) return -1;
    return 0;
}

int serial_read(PortHandle port, unsigned char* buffer, int n) {
    output_flush();
    DWORD got = 0;
    if (!ReadFile(serial_handle(port), buffer, static_cast<DWORD>(n), &got, nullptr)) return -1;
    return got == 0 ? -1 : static_cast<int>(got);
}

int serial_write(PortHandle port, const unsigned char* bytes, int n) {
    DWORD sent = 0;
    if (!WriteFile(serial_handle(port), bytes, static_cast<DWORD>(n), &sent, nullptr)) {
        output_error("Error sending data");
        return -1;
    }
    if (static_cast<int>(sent) != n) output_error("Error sending data");
    return static_cast<int>(sent);
}

int serial_close(PortHandle port) {
    CloseHandle(serial_handle(port));
    return 0;
}

int serial_lost(PortHandle port) {
    DWORD errors = 0;
    COMSTAT status{};
    return ClearCommError(serial_handle(port), &errors, &status) ? 0 : 1;
}

// Exclusive opens end with the process.
void serial_release_all() {}
