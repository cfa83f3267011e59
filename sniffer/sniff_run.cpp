#include "sniffer.hpp"

#include "adapter.hpp"
#include "keys.hpp"
#include "output.hpp"
#include "serial.hpp"
#include "session.hpp"
#include "sniff_image.hpp"
#include "timing.hpp"

#include <array>
#include <cstdio>

namespace {

constexpr int spi_mode = 1;
constexpr unsigned char configuration_base = 0x80;
constexpr unsigned char configuration_cke = 0x02;
constexpr unsigned char configuration_ckp = 0x04;
constexpr unsigned char sniffer_start = 0x0E;
constexpr std::array<const char*, 3> modem_queries = {"ATI3\r", "ATI4\r", "ATI7\r"};

} // namespace

unsigned char sniff_configuration_byte(const SniffOptions& options) {
    unsigned char configuration = configuration_base;
    if (options.clock_edge) configuration |= configuration_cke;
    if (options.polarity) configuration |= configuration_ckp;
    return configuration;
}

namespace {

// The adapter brought into sniffing, then the capture; sniffed tells whether it began.
int sniff_session(const SniffOptions& options, std::FILE* capture_file, SniffImage* image,
                  bool& sniffed) {
    const AdapterLink link{adapter_open(options.device, options.speed, options.baud),
                           options.modem};
    if (link.port < 0) return -1;
    output_text("%s\n", " Starting SPI sniffer...");

    if (link.modem) {
        for (const char* query : modem_queries) {
            const AdapterModemReply reply = adapter_query_modem(link, query);
            adapter_print_sent(reply.sent);
            output_text("\n %s\n", reply.text.c_str());
        }
    }

    output_error(" Configuring Tapwright...\n");
    output_text("%s\n", " Entering binary mode...");
    const AdapterHandshake handshake = adapter_enter_binary(link);
    adapter_print_handshake(handshake);
    if (handshake.result != 0) {
        output_error(" Tapwright cannot switch to binary mode :( \n");
        output_error(" Exiting...\n");
        return -1;
    }
    adapter_print_switching(spi_mode);
    const AdapterSwitch switched = adapter_switch_mode(link, spi_mode);
    adapter_print_switch(switched);
    if (switched.result != spi_mode) {
        output_error(" Tapwright cannot switch to SPI mode :( \n");
        output_error(" Exiting...\n");
        return -1;
    }

    output_text("%s", " Setting Clockedge/Polarity ......");
    if (options.clock_edge) output_text("%s", " CKE=1");
    if (options.polarity) output_text("%s", " CKP=1");
    const AdapterCommand configured = adapter_command(link, sniff_configuration_byte(options));
    adapter_print_command(configured);
    output_text("%s\n", configured.result != 0 ? "WARNING.. Not Good" : "OK");

    const bool sent = serial_write(link.port, &sniffer_start, 1) == 1;
    // Sniffing begins here: the times of --timestamps and JSON lines count from it.
    const TimingClock::time_point began = TimingClock::now();
    adapter_print_sent(sent);

    sniffed = true;
    if (sniff_capture(link.port, options, capture_file, image, began) != 0) return -1;
    keys_take();
    return 0;
}

} // namespace

int sniff_run(const SniffOptions& options) {
    // Before the port is touched: a capture that cannot be kept is no capture to start.
    if (!options.image.empty() && sniff_image_check(options.image, options.device) != 0) return -1;
    std::FILE* capture_file = nullptr;
    if (!options.write.empty()) {
        capture_file = sniff_create_capture_file(options.write, options.device);
        if (capture_file == nullptr) return -1;
    }
    const std::unique_ptr<SniffImage> image = sniff_image_for(options);
    bool sniffed = false;
    int status = sniff_session(options, capture_file, image.get(), sniffed);
    if (image != nullptr && sniffed && sniff_image_finish(options, *image) != 0) status = -1;
    // A hang-up, Ctrl-\ or a reader gone away ends the process now that the image is out.
    session_end_by_deferred_signal();
    return status;
}
