// Reads and writes of the Windows serial layer, on ports opened for overlapped I/O.

#include "serial.hpp"

#include "serial_windows.hpp"

#include "output.hpp"

#include <algorithm>
#include <cstring>

namespace {

// What a busy line can have waiting at once: the capture takes it in one read.
constexpr std::size_t serial_capture_area_size = 64 * 1024;

// Waits for an overlapped read or write to end. Returns the count, or -1 when it failed.
int serial_finish(HANDLE handle, BOOL done, OVERLAPPED& io) {
    DWORD count = 0;
    if (!done && GetLastError() != ERROR_IO_PENDING) return -1;
    if (!GetOverlappedResult(handle, &io, &count, TRUE)) return -1;
    return static_cast<int>(count);
}

int serial_hand_out(SerialHold& hold, unsigned char* buffer, int n) {
    const std::size_t count = std::min(hold.filled - hold.taken, static_cast<std::size_t>(n));
    std::memcpy(buffer, hold.area.data() + hold.taken, count);
    hold.taken += count;
    return static_cast<int>(count);
}

bool serial_read_mode(SerialHold& hold, SerialReadMode mode) {
    if (hold.read_mode == mode) return true;
    COMMTIMEOUTS timeouts = serial_line_timeouts();
    if (mode != serial_read_line) {
        timeouts.ReadIntervalTimeout = mode == serial_read_available_now ? MAXDWORD : 0;
        timeouts.ReadTotalTimeoutMultiplier = 0;
        timeouts.ReadTotalTimeoutConstant = 0;
    }
    if (!SetCommTimeouts(serial_handle(hold.port), &timeouts)) return false;
    hold.read_mode = mode;
    return true;
}

// Starts a capture read of size bytes into the area; its event is set once it has ended, or at
// once when it could not start.
void serial_capture_issue(SerialHold& hold, SerialReadMode mode, DWORD size) {
    hold.capture = OVERLAPPED{};
    hold.capture.hEvent = hold.capture_event;
    ResetEvent(hold.capture_event);
    if (serial_read_mode(hold, mode) &&
        (ReadFile(serial_handle(hold.port), hold.area.data(), size, nullptr, &hold.capture) ||
         GetLastError() == ERROR_IO_PENDING)) {
        hold.capture_reading = true;
        return;
    }
    SetEvent(hold.capture_event);
}

// Takes what the capture read brought, once it has ended. Returns false while it is under way.
// A read that found nothing waiting is followed by one that waits for a single byte, as long as
// it takes: under wine a read asked to return with its first byte waits to fill the whole area.
bool serial_capture_ended(SerialHold& hold) {
    if (!hold.capture_reading) return true;
    DWORD count = 0;
    const BOOL done = GetOverlappedResult(serial_handle(hold.port), &hold.capture, &count, FALSE);
    if (!done && GetLastError() == ERROR_IO_INCOMPLETE) return false;
    hold.capture_reading = false;
    hold.filled = count; // 0 when it failed: serial_lost tells why
    if (!done || count > 0 || hold.read_mode != serial_read_available_now) return true;
    serial_capture_issue(hold, serial_read_no_limit, 1);
    return serial_capture_ended(hold);
}

// Starts the capture read, unless bytes are left to hand out or one is under way. Windows hands
// over at once what is there; wine waits for the first byte and then does the same.
void serial_capture_start(SerialHold& hold) {
    if (hold.capture_reading || hold.taken < hold.filled) return;
    hold.taken = hold.filled = 0;
    hold.area.resize(serial_capture_area_size);
    serial_capture_issue(hold, serial_read_available_now, static_cast<DWORD>(hold.area.size()));
    serial_capture_ended(hold);
}

} // namespace

void serial_capture_stop(SerialHold& hold) {
    const HANDLE handle = serial_handle(hold.port);
    if (hold.capture_reading) {
        CancelIoEx(handle, &hold.capture);
        DWORD count = 0;
        if (GetOverlappedResult(handle, &hold.capture, &count, TRUE)) hold.filled = count;
        hold.capture_reading = false;
    }
    serial_read_mode(hold, serial_read_line);
}

int serial_read(PortHandle port, unsigned char* buffer, int n) {
    output_flush();
    SerialHold* hold = serial_hold(port);
    if (hold == nullptr || buffer == nullptr || n <= 0) return -1;
    serial_capture_stop(*hold);
    // Bytes the capture took come first, as they came first.
    if (hold->taken < hold->filled) return serial_hand_out(*hold, buffer, n);
    OVERLAPPED io{};
    io.hEvent = hold->io_event;
    const HANDLE handle = serial_handle(port);
    const int count =
        serial_finish(handle, ReadFile(handle, buffer, static_cast<DWORD>(n), nullptr, &io), io);
    return count > 0 ? count : -1;
}

int serial_read_available(PortHandle port, unsigned char* buffer, int n) {
    output_flush();
    SerialHold* hold = serial_hold(port);
    if (hold == nullptr || buffer == nullptr || n <= 0) return -1;
    if (!serial_capture_ended(*hold)) return -1;
    serial_capture_start(*hold);
    if (!serial_capture_ended(*hold) || hold->taken == hold->filled) return -1;
    return serial_hand_out(*hold, buffer, n);
}

std::intptr_t serial_watch(PortHandle port) {
    SerialHold* hold = serial_hold(port);
    if (hold == nullptr) return 0;
    if (serial_capture_ended(*hold)) serial_capture_start(*hold);
    // Bytes left, or a read that has ended: the wait must not sleep.
    if (serial_capture_ended(*hold)) SetEvent(hold->capture_event);
    return reinterpret_cast<std::intptr_t>(hold->capture_event);
}

int serial_write(PortHandle port, const unsigned char* bytes, int n) {
    SerialHold* hold = serial_hold(port);
    if (hold == nullptr || n < 0) return -1;
    OVERLAPPED io{};
    io.hEvent = hold->io_event;
    const HANDLE handle = serial_handle(port);
    return serial_finish(handle, WriteFile(handle, bytes, static_cast<DWORD>(n), nullptr, &io), io);
}

int serial_lost(PortHandle port) {
    DWORD errors = 0;
    COMSTAT status{};
    return ClearCommError(serial_handle(port), &errors, &status) ? 0 : 1;
}
