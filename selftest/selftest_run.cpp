#include "selftest.hpp"

#include "adapter.hpp"
#include "console.hpp"
#include "modem_mode.hpp"
#include "serial.hpp"

#include <cstdio>
#include <cstdlib>

namespace {

constexpr unsigned char pins_as_output = 0x40;
constexpr unsigned char power_on = 0xC0;
constexpr unsigned char measure_voltage = 0x14;
constexpr unsigned char power_off = 0x80;
constexpr unsigned char closing_byte = 0x0F;
constexpr int reading_size = 2;
// What a modem test takes in place of a measurement: about 13 volts, a pass.
constexpr unsigned char modem_reading[reading_size] = {0x4D, 0x9C};
constexpr int pause_ms = 1;

bool stops(int key) {
    return key == key_escape || key == key_end_of_input;
}

[[noreturn]] void stop() {
    std::puts("\n Esc key hit, stopping...");
    std::puts(" (Bye for now!)");
    std::exit(-1);
}

void send_byte(PortHandle port, unsigned char byte) {
    serial_write(port, &byte, 1);
}

unsigned reading_of(const unsigned char* bytes) {
    return bytes[0] * 256u + bytes[1];
}

void print_verdict(float volts) {
    std::printf(" ADC Reading: %2.0f Volts\n", static_cast<double>(volts));
    std::puts(volts > selftest_pass_volts ? " Voltage Measurement: ****PASS**** "
                                          : " Voltage Measurement: !!!!FAIL!!!! ");
}

// Returns 0 with the board powered on, -1 when the adapter refused binary mode.
int power_up(PortHandle port) {
    std::puts(" Configuring Tapwright HVP Adapter...");
    std::fputs(" Going into Binary Bitbang mode..", stdout);
    if (adapter_enter_binary(port) != 0) {
        std::puts(" Tapwright cannot switch to binary bitbang mode :( ");
        return -1;
    }
    std::puts("ok");
    std::puts(" configuring pins as output...");
    std::fputs(" sending 01000000...", stdout);
    adapter_command(port, pins_as_output);
    std::puts("OK");
    std::fputs(" Sending Command to power on : 11000000....", stdout);
    adapter_command(port, power_on);
    std::puts("OK");
    return 0;
}

void measure(PortHandle port) {
    std::puts(" Voltage Probe measurement...,sending 00010100 ");
    send_byte(port, measure_voltage);
    unsigned char reading[reading_size] = {};
    int count = 0;
    do {
        console_pause(pause_ms);
        count = serial_read(port, reading, reading_size);
    } while (count == 0);

    if (modem_mode) {
        std::printf(" ADC Reading: %2.0f Volts\n",
                    static_cast<double>(selftest_volts(reading_of(modem_reading))));
        std::puts(" Voltage Measurement: ****PASS**** ");
    } else if (count == reading_size) {
        print_verdict(selftest_volts(reading_of(reading)));
    } else {
        std::printf(" Expecting 2 bytes returned but got %i instead\n", count);
        std::puts(" Voltage Measurement: !!!!FAIL!!!! ");
    }
}

} // namespace

float selftest_volts(unsigned reading) {
    return static_cast<float>(reading * (1.0 / 1024) * 3.3 / 4.9);
}

int selftest_wait_for_key() {
    return console_wait_key();
}

int selftest_run(const SelfTestOptions& options) {
    std::puts(" Press Esc to exit, any other key to start the self-test \n");
    bool first_board = true;
    if (stops(selftest_wait_for_key())) stop();
    std::puts("\n Starting test! ");

    for (;;) {
        const PortHandle port = adapter_open(options.device.c_str(), options.speed.c_str());
        if (port < 0) return -1;

        if (modem_mode) {
            adapter_query_modem(port, "ATI7\r");
        } else if (power_up(port) != 0) {
            return -1;
        }

        measure(port);

        std::puts(" powering off.....");
        adapter_command(port, power_off);

        if (first_board) {
            std::puts(" Press any key to continue...");
            selftest_wait_for_key(); // any key goes on here, Esc included
        }
        send_byte(port, closing_byte);
        serial_close(port);

        std::puts("\n Connect another Tapwright HVP adapter and press any key to start the "
                  "self-test again ");
        std::puts(" Or hit ESC key to stop and end the test.");
        const int key = selftest_wait_for_key();
        first_board = false;
        if (stops(key)) stop();

        std::puts("\n--------------------- Starting a new Test-------------------------");
        console_pause(pause_ms);
    }
}
