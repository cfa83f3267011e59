#include "selftest.hpp"

#include "adapter.hpp"
#include "keys.hpp"
#include "serial.hpp"
#include "session.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr unsigned char pins_as_output = 0x40;
constexpr unsigned char power_on = 0xC0;
constexpr unsigned char measure_voltage = 0x14;
constexpr unsigned char power_off = 0x80;
constexpr unsigned char closing_byte = 0x0F;
constexpr int reading_size = 2;
// What a modem test takes in place of a measurement: about 13 volts, a pass.
constexpr unsigned char modem_reading[reading_size] = {0x4D, 0x9C};

bool stops(int key) {
    return key == key_escape || key == key_end_of_input;
}

[[noreturn]] void stop() {
    std::puts("\n Esc key hit, stopping...");
    std::puts(" (Bye for now!)");
    std::exit(-1);
}

void send_byte(PortHandle port, unsigned char byte) {
    adapter_print_sent(serial_write(port, &byte, 1) == 1);
}

void command(const AdapterLink& link, unsigned char byte) {
    adapter_print_command(adapter_command(link, byte));
}

unsigned reading_of(const unsigned char* bytes) {
    return bytes[0] * 256u + bytes[1];
}

// Returns 0 with the board powered on, -1 when the adapter refused binary mode.
int power_up(const AdapterLink& link) {
    std::puts(" Configuring Tapwright HVP Adapter...");
    std::fputs(" Going into Binary Bitbang mode..", stdout);
    std::puts(" Entering binary mode...");
    const AdapterHandshake handshake = adapter_enter_binary(link);
    adapter_print_handshake(handshake);
    if (handshake.result != 0) {
        std::puts(" Tapwright cannot switch to binary bitbang mode :( ");
        return -1;
    }
    std::puts("ok");
    std::puts(" configuring pins as output...");
    std::fputs(" sending 01000000...", stdout);
    command(link, pins_as_output);
    std::puts("OK");
    std::fputs(" Sending Command to power on : 11000000....", stdout);
    command(link, power_on);
    std::puts("OK");
    return 0;
}

void measure(const AdapterLink& link, SelfTestBoard& board) {
    std::puts(" Voltage Probe measurement...,sending 00010100 ");
    send_byte(link.port, measure_voltage);
    unsigned char reading[reading_size] = {};
    adapter_pause();
    // One read: it never returns 0, nothing at all is -1.
    const int count = serial_read(link.port, reading, reading_size);

    board.judged = true;
    if (link.modem || count == reading_size) {
        board.has_reading = true;
        board.reading = reading_of(link.modem ? modem_reading : reading);
        board.volts = selftest_volts(board.reading);
        // The modem test passes whatever its fixed reading says.
        board.pass = link.modem || board.volts > selftest_pass_volts;
        std::printf(" ADC Reading: %2.0f Volts\n", static_cast<double>(board.volts));
    } else {
        std::printf(" Expecting 2 bytes returned but got %i instead\n", count);
        board.reason = count > 0 ? "reading of " + std::to_string(count) + " byte instead of 2"
                       : serial_lost(link.port) ? "port lost"
                                                : "no reading";
    }
    // The screen says FAIL where the record says ERROR: the operator sets such a board aside
    // all the same.
    std::puts(board.pass ? " Voltage Measurement: ****PASS**** "
                         : " Voltage Measurement: !!!!FAIL!!!! ");
}

// Counts the board and, with --log, puts its line on the record; the tally follows. Returns
// false when the record could not be kept.
bool recorded(SelfTestLog& log, const SelfTestBoard& board) {
    const int logged = selftest_log_board(log, board);
    if (log.file != nullptr) session_set_last_words(selftest_log_summary(log));
    return logged == 0;
}

// A board that could not be tested is on the record, with why, before the run ends.
int stop_untested(SelfTestLog& log, SelfTestBoard& board, const std::string& reason) {
    board.reason = reason;
    recorded(log, board);
    return -1;
}

// With --serial, the serial number of the board whose key was just pressed; Esc stops here too.
std::string board_serial(const SelfTestOptions& options, const SelfTestLog& log) {
    std::string serial;
    if (!options.serial) return serial;
    std::fputs(" Serial number (Enter for none, Esc to stop): ", stdout);
    if (!selftest_read_serial(serial)) stop();
    const int attempt = selftest_log_attempt(log, serial);
    if (attempt > 1) std::printf("board %s: attempt %d\n", serial.c_str(), attempt);
    return serial;
}

// The reason of a port that did not open, for the record.
std::string open_failure() {
    switch (serial_last_open_error()) {
    case serial_open_missing: return "port did not open: no such device";
    case serial_open_denied: return "port did not open: permission denied";
    case serial_open_busy: return "port did not open: busy";
    case serial_open_not_a_port: return "port did not open: not a serial port";
    case serial_open_name_cut: return "port did not open: name too long";
    default: return "port did not open";
    }
}

} // namespace

float selftest_volts(unsigned reading) {
    // 1/1024 and 3.3: the ADC counts in steps of 1/1024 of its 3.3 V reference; 4.9: the scale
    // of the probe input as the board's maker gives it. 0x4746 is the first reading above 12 V.
    return static_cast<float>(reading * (1.0 / 1024) * 3.3 / 4.9);
}

int selftest_run(const SelfTestOptions& options) {
    SelfTestLog log{};
    log.station = options.station;
    log.operator_name = options.operator_name;
    if (!options.log.empty()) {
        if (selftest_log_open(log, options.log) != 0) return -1;
        session_set_last_words(selftest_log_summary(log));
    }
    std::puts(" Press Esc to exit, any other key to start the self-test \n");
    bool first_board = true;
    if (stops(selftest_take_key())) stop();
    std::string serial = board_serial(options, log);
    std::puts("\n Starting test! ");

    for (;;) {
        SelfTestBoard board{};
        board.serial = serial;
        const AdapterLink link{adapter_open(options.device, options.speed, options.baud),
                               options.modem};
        if (link.port < 0) return stop_untested(log, board, open_failure());

        if (link.modem) {
            const AdapterModemReply reply = adapter_query_modem(link, "ATI7\r");
            adapter_print_sent(reply.sent);
            std::printf("\n %s\n", reply.text.c_str());
        } else if (power_up(link) != 0) {
            return stop_untested(log, board, "adapter refused binary mode");
        }

        measure(link, board);

        std::puts(" powering off.....");
        command(link, power_off);

        // On the disk before the operator is asked for anything: a record that cannot be kept
        // ends the test, with the board off.
        if (!recorded(log, board)) {
            send_byte(link.port, closing_byte);
            serial_close(link.port);
            return -1;
        }

        if (first_board) {
            std::puts(" Press any key to continue...");
            selftest_take_key(); // any key goes on here, Esc included
        }
        send_byte(link.port, closing_byte);
        serial_close(link.port);

        std::puts("\n Connect another Tapwright HVP adapter and press any key to start the "
                  "self-test again ");
        std::puts(" Or hit ESC key to stop and end the test.");
        const int key = selftest_take_key();
        first_board = false;
        if (stops(key)) stop();
        serial = board_serial(options, log);

        std::puts("\n--------------------- Starting a new Test-------------------------");
        adapter_pause();
    }
}
