// The texts of the adapter's exchanges. Both programs print them, each at its place in the run;
// what is said was decided by the exchange.

#include "adapter.hpp"

#include "output.hpp"

#include <cstdio>

namespace {

void print_exchange(const AdapterExchange& seen, unsigned reply) {
    adapter_print_sent(seen.sent);
    switch (seen.note) {
    case adapter_note_none: return;
    case adapter_note_wrong_reply:
        output_error(" Tapwright did not respond correctly :( %i \n", seen.count);
        return;
    case adapter_note_modem_count: output_text("\n Modem Responded = %i\n", seen.count); return;
    case adapter_note_refused:
        output_text(" ERROR: Tapwright replied with 0x%x instead of 0x01 \n", reply);
        return;
    case adapter_note_modem_reply:
        output_text(" Modem responded with %i byte and with a value of 0X%X\n", seen.count, reply);
        return;
    }
}

} // namespace

void adapter_print_sent(bool sent) {
    if (!sent) output_error("Error sending data");
}

void adapter_print_handshake(const AdapterHandshake& handshake) {
    if (handshake.port_missing) {
        output_text("%s", "Port does not exist!");
        return;
    }
    for (int attempt = 0; attempt < handshake.attempts; ++attempt)
        print_exchange(handshake.exchanges[static_cast<std::size_t>(attempt)], 0);
    if (handshake.gave_up)
        output_text("%s\n", " Tapwright:Too many tries in serial read! -exiting \n"
                            " - chip not detected, or not readable/writable");
}

void adapter_print_switching(int mode) {
    if (const char* name = adapter_mode_name(mode))
        output_text(" Switching to %s mode\n", name);
    else
        output_text(" Switching to unknown mode %i\n", mode);
}

void adapter_print_switch(const AdapterSwitch& result) {
    print_exchange(result.exchange, 0);
}

void adapter_print_command(const AdapterCommand& command) {
    print_exchange(command.exchange, command.reply);
}
