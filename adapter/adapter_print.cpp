// The texts of the adapter's port and exchanges. Both programs print them, each at its place in
// the run.

#include "adapter.hpp"

#include "output.hpp"

#include <cstdio>

PortHandle adapter_open(const std::string& device, const std::string& speed, int baud) {
    std::printf(" Opening Tapwright on %s at %sbps...\n", device.c_str(), speed.c_str());
    const PortHandle port = serial_open(device.c_str());
    if (port < 0) {
        output_error(" Error opening serial port\n");
        output_error("%s\n", serial_open_error_text(device.c_str()).c_str());
        return port_not_open;
    }
    serial_configure(port, baud);
    return port;
}

void adapter_print_sent(bool sent) {
    if (!sent) output_error("Error sending data");
}

void adapter_print_handshake(const AdapterLink& link, const AdapterHandshake& handshake) {
    if (link.port == port_not_open) {
        std::fputs("Port does not exist!", stdout);
        return;
    }
    for (int attempt = 1; attempt <= handshake.attempts; ++attempt) {
        const AdapterExchange& seen = handshake.exchanges[static_cast<std::size_t>(attempt - 1)];
        adapter_print_sent(seen.sent);
        if (link.modem) {
            std::printf("\n Modem Responded = %i\n", seen.count);
            return;
        }
        if (attempt > handshake_lenient_attempts && seen.count != handshake_reply_size)
            output_error(" Tapwright did not respond correctly :( %i \n", seen.count);
    }
    if (handshake.result != 0)
        std::puts(" Tapwright:Too many tries in serial read! -exiting \n"
                  " - chip not detected, or not readable/writable");
}

void adapter_print_switching(int mode) {
    if (mode >= 0 && mode < static_cast<int>(mode_names.size()))
        std::printf(" Switching to %s mode\n", mode_names[static_cast<std::size_t>(mode)]);
    else
        std::printf(" Switching to unknown mode %i\n", mode);
}

void adapter_print_switch(int mode, const AdapterSwitch& result) {
    adapter_print_sent(result.exchange.sent);
    if (mode < 1 || mode >= static_cast<int>(mode_names.size()))
        output_error(" Tapwright did not respond correctly :( %i \n", result.exchange.count);
}

void adapter_print_command(const AdapterLink& link, const AdapterCommand& command) {
    adapter_print_sent(command.exchange.sent);
    if (command.reply == adapter_ack) return;
    if (link.modem)
        std::printf(" Modem responded with %i byte and with a value of 0X%X\n",
                    command.exchange.count, static_cast<unsigned>(command.reply));
    else
        std::printf(" ERROR: Tapwright replied with 0x%x instead of 0x01 \n",
                    static_cast<unsigned>(command.reply));
}
