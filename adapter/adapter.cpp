#include "adapter.hpp"

#include "console.hpp"
#include "modem_mode.hpp"
#include "output.hpp"

#include <cstdio>
#include <cstring>

namespace {

constexpr unsigned char handshake_byte = 0x00;
constexpr char handshake_reply[] = "BBIO1";
constexpr int handshake_reply_size = 5;
constexpr int mode_reply_size = 4;
constexpr int pause_ms = 1;

// Every exchange is one byte out, a short pause for the adapter, and one bounded read.
int exchange(PortHandle port, unsigned char byte, unsigned char* reply, int reply_size) {
    serial_write(port, &byte, 1);
    console_pause(pause_ms);
    return serial_read(port, reply, reply_size);
}

bool known_mode(int mode) {
    return mode >= 0 && mode < static_cast<int>(mode_names.size());
}

} // namespace

PortHandle adapter_open(const char* device, const char* speed) {
    std::printf(" Opening Tapwright on %s at %sbps...\n", device, speed);
    const PortHandle port = serial_open(device);
    if (port < 0) {
        output_error(" Error opening serial port\n");
        output_error("%s\n", serial_open_error_text(device).c_str());
        return port_not_open;
    }
    // A refused line setting is no reason to stop: the adapter may still answer.
    serial_configure(port, speed);
    return port;
}

int adapter_enter_binary(PortHandle port) {
    std::puts(" Entering binary mode...");
    if (port == port_not_open) {
        std::fputs("Port does not exist!", stdout);
        return -1;
    }

    unsigned char reply[reply_area_size] = {};
    int result = -1;
    for (int attempt = 1; attempt <= handshake_attempts; ++attempt) {
        // Only the first byte is cleared between attempts, so after a short read the bytes
        // beyond it are still those of an earlier reply, and the comparison below sees them.
        reply[0] = 0;
        const int count = exchange(port, handshake_byte, reply, handshake_reply_size);

        if (modem_mode) {
            std::printf("\n Modem Responded = %i\n", count);
            return count;
        }
        if (count == handshake_reply_size || attempt <= handshake_lenient_attempts) {
            if (std::memcmp(reply, handshake_reply, handshake_reply_size) == 0) return 0;
            result = count;
        } else {
            output_error(" Tapwright did not respond correctly :( %i \n", count);
            result = -1;
        }
    }
    std::puts(" Tapwright:Too many tries in serial read! -exiting \n"
              " - chip not detected, or not readable/writable");
    return result;
}

int adapter_switch_mode(PortHandle port, int mode) {
    unsigned char reply[reply_area_size] = {};
    if (known_mode(mode))
        std::printf(" Switching to %s mode\n", mode_names[static_cast<std::size_t>(mode)]);
    else
        std::printf(" Switching to unknown mode %i\n", mode);

    const int count = exchange(port, static_cast<unsigned char>(mode), reply, mode_reply_size);

    if (mode < 1 || !known_mode(mode)) {
        output_error(" Tapwright did not respond correctly :( %i \n", count);
        return -1;
    }
    char expected[mode_reply_size + 1] = {};
    std::snprintf(expected, sizeof expected, "%s1", mode_names[static_cast<std::size_t>(mode)]);
    if (count != mode_reply_size || std::memcmp(reply, expected, mode_reply_size) != 0) return -1;
    return mode;
}

int adapter_command(PortHandle port, unsigned char byte) {
    unsigned char reply = 0;
    const int count = exchange(port, byte, &reply, 1);

    if (reply == adapter_ack) return 0;
    if (modem_mode) {
        std::printf(" Modem responded with %i byte and with a value of 0X%X\n", count,
                    static_cast<unsigned>(reply));
        return 0;
    }
    std::printf(" ERROR: Tapwright replied with 0x%x instead of 0x01 \n",
                static_cast<unsigned>(reply));
    return -1;
}

void adapter_query_modem(PortHandle port, const char* query) {
    unsigned char area[modem_reply_area_size] = {};
    serial_write(port, reinterpret_cast<const unsigned char*>(query),
                 static_cast<int>(std::strlen(query)));
    console_pause(pause_ms);
    const int count = serial_read(port, area, modem_reply_area_size);
    // At most one byte short of the area, as the reply is shown as a terminated text.
    const int limit = count < modem_reply_area_size ? count : modem_reply_area_size - 1;
    int length = 0;
    while (length < limit && area[length] != 0) ++length;
    std::printf("\n %.*s\n", length, reinterpret_cast<const char*>(area));
}
