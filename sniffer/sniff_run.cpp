#include "sniffer.hpp"

#include "adapter.hpp"
#include "keys.hpp"
#include "output.hpp"
#include "serial.hpp"
#include "session.hpp"

#include <array>
#include <cerrno>
#include <cstdio>
#include <vector>

namespace {

// What a busy line can have waiting at once: the capture takes it in one read.
constexpr int sniff_chunk_size = 64 * 1024;
constexpr int spi_mode = 1;
constexpr unsigned char configuration_base = 0x80;
constexpr unsigned char configuration_cke = 0x02;
constexpr unsigned char configuration_ckp = 0x04;
constexpr unsigned char sniffer_start = 0x0E;
// The capture loop sleeps until bytes or a key arrive, so a key is noticed at once even while
// the adapter is silent, and a busy line is read without a pause between reads.
constexpr int wait_without_limit = -1;
// Where the platform cannot wait on the port and the keyboard together, the read waits this long
// for a first byte before the keyboard is looked at again.
constexpr int capture_read_wait_ms = 10;

constexpr std::array<const char*, 3> modem_queries = {"ATI3\r", "ATI4\r", "ATI7\r"};

// Returns 0 after a key (or a signal taken as one), -1 when the port went away or the output
// could not be written.
int capture(PortHandle port, bool raw) {
    std::vector<unsigned char> area(sniff_chunk_size);
    SniffDecoder decoder = sniff_decoder_new(raw);
    std::vector<char> text(sniff_text_room(decoder, sniff_chunk_size));
    session_signals_as_key(true);
    // The wait takes a key first when a key and bytes are waiting together. Each read takes
    // every byte waiting, and its text goes out in one write, so bytes show the moment they come.
    for (;;) {
        const int ready = keys_wait_port(port, wait_without_limit);
        if (ready == 1) return 0;
        if (ready != 0) continue;
        const int count =
            serial_read_waiting(port, area.data(), sniff_chunk_size, capture_read_wait_ms);
        if (count > 0) {
            const std::size_t size = sniff_decode_text(decoder, area.data(), count, text.data());
            if (output_write(text.data(), size) != 0) {
                output_report_failure(errno);
                return -1;
            }
        } else if (serial_lost(port)) {
            // A time-out is silent; a device that has gone away will never send again.
            output_error("\n Serial port disconnected\n");
            output_error(" Exiting...\n");
            return -1;
        }
    }
}

} // namespace

unsigned char sniff_configuration_byte(const SniffOptions& options) {
    unsigned char configuration = configuration_base;
    if (options.clock_edge) configuration |= configuration_cke;
    if (options.polarity) configuration |= configuration_ckp;
    return configuration;
}

int sniff_run(const SniffOptions& options) {
    const AdapterLink link{adapter_open(options.device, options.speed, options.baud),
                           options.modem};
    if (link.port < 0) return -1;
    std::puts(" Starting SPI sniffer...");

    if (link.modem) {
        for (const char* query : modem_queries) {
            const AdapterModemReply reply = adapter_query_modem(link, query);
            adapter_print_sent(reply.sent);
            std::printf("\n %s\n", reply.text.c_str());
        }
    }

    output_error(" Configuring Tapwright...\n");
    std::puts(" Entering binary mode...");
    const AdapterHandshake handshake = adapter_enter_binary(link);
    adapter_print_handshake(link, handshake);
    if (handshake.result != 0) {
        output_error(" Tapwright cannot switch to binary mode :( \n");
        output_error(" Exiting...\n");
        return -1;
    }
    adapter_print_switching(spi_mode);
    const AdapterSwitch switched = adapter_switch_mode(link, spi_mode);
    adapter_print_switch(spi_mode, switched);
    if (switched.result != spi_mode) {
        output_error(" Tapwright cannot switch to SPI mode :( \n");
        output_error(" Exiting...\n");
        return -1;
    }

    std::fputs(" Setting Clockedge/Polarity ......", stdout);
    if (options.clock_edge) std::fputs(" CKE=1", stdout);
    if (options.polarity) std::fputs(" CKP=1", stdout);
    const AdapterCommand configured = adapter_command(link, sniff_configuration_byte(options));
    adapter_print_command(link, configured);
    std::puts(configured.result != 0 ? "WARNING.. Not Good" : "OK");

    adapter_print_sent(serial_write(link.port, &sniffer_start, 1) == 1);

    if (capture(link.port, options.raw) != 0) return -1;
    keys_take();
    return 0;
}
