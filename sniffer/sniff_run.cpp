#include "sniffer.hpp"

#include "adapter.hpp"
#include "console.hpp"
#include "modem_mode.hpp"
#include "output.hpp"
#include "serial.hpp"

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

bool begins_with_one(const std::string& text) {
    return !text.empty() && text[0] == '1';
}

// Returns 0 after a key (or a signal taken as one), -1 when the port went away or the output
// could not be written.
int capture(PortHandle port, bool raw) {
    std::vector<unsigned char> area(sniff_chunk_size);
    SniffDecoder decoder = sniff_decoder_new(raw);
    std::vector<char> text(sniff_text_room(decoder, sniff_chunk_size));
    console_signals_as_key(true);
    // The wait takes a key first when a key and bytes are waiting together. Each read takes
    // every byte waiting, and its text goes out in one write, so bytes show the moment they come.
    for (;;) {
        const int ready = console_wait_port_or_key(port, wait_without_limit);
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
    if (begins_with_one(options.clock_edge)) configuration |= configuration_cke;
    if (begins_with_one(options.polarity)) configuration |= configuration_ckp;
    return configuration;
}

int sniff_run(const SniffOptions& options) {
    const PortHandle port = adapter_open(options.device.c_str(), options.speed.c_str());
    if (port < 0) return -1;
    std::puts(" Starting SPI sniffer...");

    if (modem_mode) {
        for (const char* query : modem_queries) adapter_query_modem(port, query);
    }

    output_error(" Configuring Tapwright...\n");
    if (adapter_enter_binary(port) != 0) {
        output_error(" Tapwright cannot switch to binary mode :( \n");
        output_error(" Exiting...\n");
        return -1;
    }
    if (adapter_switch_mode(port, spi_mode) != spi_mode) {
        output_error(" Tapwright cannot switch to SPI mode :( \n");
        output_error(" Exiting...\n");
        return -1;
    }

    std::fputs(" Setting Clockedge/Polarity ......", stdout);
    if (begins_with_one(options.clock_edge)) std::fputs(" CKE=1", stdout);
    if (begins_with_one(options.polarity)) std::fputs(" CKP=1", stdout);
    if (adapter_command(port, sniff_configuration_byte(options)) != 0)
        std::puts("WARNING.. Not Good");
    else
        std::puts("OK");

    serial_write(port, &sniffer_start, 1);

    if (capture(port, begins_with_one(options.raw)) != 0) return -1;
    console_take_key();
    return 0;
}
