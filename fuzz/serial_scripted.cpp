#include "serial_scripted.hpp"

#include "serial.hpp"

#include <algorithm>
#include <cstring>

namespace {

constexpr unsigned char count_timed_out = 0;
constexpr unsigned char count_whole_request = 255;
constexpr PortHandle scripted_port = 3;

SerialScript script;

} // namespace

void serial_script_load(const unsigned char* data, std::size_t size) {
    script.data = data;
    script.size = size;
    script.position = 0;
    script.writes.clear();
    script.reads.clear();
}

const SerialScript& serial_script() {
    return script;
}

const char* serial_device_path(const char* name) {
    return name;
}

PortHandle serial_open(const char*) {
    return scripted_port;
}

int serial_configure(PortHandle port, int) {
    return port < 0 ? -1 : 0;
}

int serial_read(PortHandle port, unsigned char* buffer, int n) {
    if (port < 0 || buffer == nullptr || n <= 0 || script.position >= script.size) {
        script.reads.emplace_back();
        return -1;
    }
    // A real read may fill all n bytes, so a caller's area shorter than n must show at once,
    // whatever this read returns.
    static_cast<void>(*static_cast<volatile unsigned char*>(buffer + n - 1));
    const unsigned char wanted = script.data[script.position++];
    std::size_t count = wanted == count_whole_request ? static_cast<std::size_t>(n)
                                                      : std::min<std::size_t>(wanted, n);
    count = std::min(count, script.size - script.position);
    if (wanted == count_timed_out || count == 0) {
        script.reads.emplace_back();
        return -1;
    }
    std::memcpy(buffer, script.data + script.position, count);
    script.reads.emplace_back(buffer, buffer + count);
    script.position += count;
    return static_cast<int>(count);
}

int serial_write(PortHandle port, const unsigned char* bytes, int n) {
    if (port < 0 || n < 0) return -1;
    script.writes.emplace_back(bytes, bytes + n);
    return n;
}

int serial_close(PortHandle) {
    return 0;
}

int serial_lost(PortHandle port) {
    return port < 0 || script.position >= script.size ? 1 : 0;
}

void serial_release_all() {}
