// The adapter exchanges against the emulated Tapwright, through the real serial layer on a
// pseudo-terminal.

#include "adapter.hpp"
#include "emulator.hpp"
#include "serial.hpp"
#include "test_cases.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <ostream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using ::PrintTo; // names the test cases in listings

using Bytes = std::vector<unsigned char>;

const std::string too_many_tries = " Tapwright:Too many tries in serial read! -exiting \n"
                                   " - chip not detected, or not readable/writable\n";

std::string no_response(int count) {
    return " Tapwright did not respond correctly :( " + std::to_string(count) + " \n";
}

struct Output {
    std::string out;
    std::string err;
};

std::string read_back(std::FILE* file) {
    std::string text;
    std::rewind(file);
    char block[4096];
    std::size_t count = 0;
    while ((count = std::fread(block, 1, sizeof block, file)) > 0) text.append(block, count);
    std::fclose(file);
    return text;
}

// Runs call with descriptors 1 and 2 on temporary files, so that stdio and raw writes alike
// are caught, in the order the code under test produced them.
Output capture(const std::function<void()>& call) {
    std::fflush(stdout);
    std::fflush(stderr);
    std::FILE* out_file = std::tmpfile();
    std::FILE* err_file = std::tmpfile();
    if (out_file == nullptr || err_file == nullptr) {
        ADD_FAILURE() << "no temporary file for the output";
        return {};
    }
    const int saved_out = dup(1);
    const int saved_err = dup(2);
    dup2(fileno(out_file), 1);
    dup2(fileno(err_file), 2);
    call();
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(saved_out, 1);
    dup2(saved_err, 2);
    close(saved_out);
    close(saved_err);
    return {read_back(out_file), read_back(err_file)};
}

class AdapterTest : public testing::Test {
  protected:
    void TearDown() override {
        if (port != port_not_open) serial_close(port);
        emulator_stop(emulator);
    }

    // The program's own way onto the line: open the device path, then 115200 baud.
    void connect(const EmulatorScript& script) {
        emulator = emulator_start(script);
        ASSERT_NE(emulator, nullptr);
        port = serial_open(emulator_path(*emulator).c_str());
        ASSERT_NE(port, port_not_open);
        ASSERT_EQ(serial_configure(port, 115200), 0);
    }

    void enter_binary() { ASSERT_EQ(adapter_enter_binary({port, false}).result, 0); }

    // Everything the emulator received, once at least count bytes are in.
    Bytes received(std::size_t count) {
        EXPECT_TRUE(emulator_wait_received(*emulator, count, test_timeout_ms));
        return emulator_received(*emulator);
    }

    Emulator* emulator = nullptr;
    PortHandle port = port_not_open;
};

EmulatorScript handshake_script(int from_attempt, bool wrong) {
    EmulatorScript script;
    script.handshake_from_attempt = from_attempt;
    script.handshake_wrong = wrong;
    return script;
}

EmulatorScript modem_script() {
    EmulatorScript script;
    script.modem = true;
    return script;
}

// Each exchange's result, and its texts as both programs print them.
struct HandshakeCase {
    const char* name;
    EmulatorScript script;
    bool modem;
    int result;
    std::size_t handshakes;
    std::string out;
    std::string err;
};

std::vector<HandshakeCase> handshake_cases() {
    return {
        {"AnsweredAtOnce", handshake_script(1, false), false, 0, 1, "", ""},
        {"AnsweredAfterTwoSilentAttempts", handshake_script(3, false), false, 0, 3, "", ""},
        {"AnsweredAfterWrongReplies", handshake_script(5, true), false, 0, 5, "", ""},
        {"AnsweredOnTheLastAttempt", handshake_script(26, true), false, 0, 26, "", ""},
        {"WrongRepliesEveryTime", handshake_script(0, true), false, 5, 26, too_many_tries, ""},
        // The only slow case: 26 read time-outs of 150 ms.
        {"Silent", handshake_script(0, false), false, -1, 26, too_many_tries,
         repeated(no_response(-1), 6)},
        {"SilentModem", modem_script(), true, -1, 1, "\n Modem Responded = -1\n", ""},
        {"ModemModeGivesTheReadCount", handshake_script(1, false), true, 5, 1,
         "\n Modem Responded = 5\n", ""},
    };
}

class AdapterEnterBinary : public AdapterTest, public testing::WithParamInterface<HandshakeCase> {};

TEST_P(AdapterEnterBinary, SendsHandshakesUntilAnswered) {
    const HandshakeCase& test = GetParam();
    connect(test.script);
    const AdapterLink link{port, test.modem};

    AdapterHandshake handshake{};
    const Output output = capture([&] {
        handshake = adapter_enter_binary(link);
        adapter_print_handshake(handshake);
    });

    EXPECT_EQ(handshake.result, test.result);
    EXPECT_EQ(handshake.attempts, static_cast<int>(test.handshakes));
    EXPECT_EQ(output.out, test.out);
    EXPECT_EQ(output.err, test.err);
    EXPECT_EQ(received(test.handshakes), Bytes(test.handshakes, 0x00));
}

INSTANTIATE_TEST_SUITE_P(Replies, AdapterEnterBinary, testing::ValuesIn(handshake_cases()),
                         case_name);

TEST(AdapterEnterBinaryWithoutPort, RefusesAPortThatIsNotOpen) {
    const AdapterLink link{port_not_open, false};
    AdapterHandshake handshake{};
    const Output output = capture([&] {
        handshake = adapter_enter_binary(link);
        adapter_print_handshake(handshake);
    });
    EXPECT_EQ(handshake.result, -1);
    EXPECT_EQ(handshake.attempts, 0);
    EXPECT_EQ(output.out, "Port does not exist!");
    EXPECT_EQ(output.err, "");
}

struct SwitchCase {
    const char* name;
    std::string mode_reply;
    int mode;
    int result;
    std::string out;
    std::string err;
};

std::vector<SwitchCase> switch_cases() {
    const std::string to_spi = " Switching to SPI mode\n";
    return {
        {"SpiConfirmed", "SPI1", 1, 1, to_spi, ""},
        {"SpiShortReply", "SPI", 1, -1, to_spi, ""},
        {"SpiSilent", "", 1, -1, to_spi, ""},
        {"SpiWrongReply", "SPI0", 1, -1, to_spi, ""},
        // The emulator acknowledges 0x02 with one byte, not "I2C1".
        {"I2cNotConfirmed", "SPI1", 2, -1, " Switching to I2C mode\n", ""},
        // Bit-bang answers its own byte 0x00 with "BBIO1", of which four are read.
        {"BitBangModeRefused", "SPI1", 0, -1, " Switching to BBIO mode\n", no_response(4)},
        {"ModeAboveFiveRefused", "SPI1", 9, -1, " Switching to unknown mode 9\n", no_response(1)},
        {"NegativeModeRefused", "SPI1", -1, -1, " Switching to unknown mode -1\n", no_response(1)},
    };
}

class AdapterSwitchMode : public AdapterTest, public testing::WithParamInterface<SwitchCase> {};

TEST_P(AdapterSwitchMode, ConfirmsOnlyTheExpectedReply) {
    const SwitchCase& test = GetParam();
    EmulatorScript script;
    script.mode_reply = test.mode_reply;
    connect(script);
    enter_binary();

    AdapterSwitch switched{};
    const Output output = capture([&] {
        adapter_print_switching(test.mode);
        switched = adapter_switch_mode({port, false}, test.mode);
        adapter_print_switch(switched);
    });

    EXPECT_EQ(switched.result, test.result);
    EXPECT_EQ(output.out, test.out);
    EXPECT_EQ(output.err, test.err);
    EXPECT_EQ(received(2), Bytes({0x00, static_cast<unsigned char>(test.mode)}));
}

INSTANTIATE_TEST_SUITE_P(Replies, AdapterSwitchMode, testing::ValuesIn(switch_cases()), case_name);

struct CommandCase {
    const char* name;
    bool modem_on_line;
    bool modem;
    unsigned char byte;
    int reply;
    int result;
    std::string out;
};

std::vector<CommandCase> command_cases() {
    return {
        {"Acknowledged", false, false, 0x40, 0x01, 0, ""},
        {"RefusedWithFF", false, false, 0xC0, 0xFF, -1,
         " ERROR: Tapwright replied with 0xff instead of 0x01 \n"},
        {"RefusedWithZero", false, false, 0x84, 0x00, -1,
         " ERROR: Tapwright replied with 0x0 instead of 0x01 \n"},
        {"Silent", false, false, 0x80, emulator_silence, -1,
         " ERROR: Tapwright replied with 0x0 instead of 0x01 \n"},
        {"SilentModem", true, true, 0x80, emulator_silence, 0,
         " Modem responded with -1 byte and with a value of 0X0\n"},
        {"ModemModeOtherReply", false, true, 0x80, 0xAB, 0,
         " Modem responded with 1 byte and with a value of 0XAB\n"},
        {"ModemModeAcknowledged", false, true, 0x80, 0x01, 0, ""},
    };
}

class AdapterSendCommand : public AdapterTest, public testing::WithParamInterface<CommandCase> {};

TEST_P(AdapterSendCommand, ExpectsTheAcknowledgement) {
    const CommandCase& test = GetParam();
    EmulatorScript script = test.modem_on_line ? modem_script() : EmulatorScript{};
    script.command_reply[test.byte] = test.reply;
    connect(script);
    Bytes expected_bytes = {test.byte};
    if (!test.modem_on_line) {
        enter_binary();
        expected_bytes.insert(expected_bytes.begin(), 0x00);
    }
    const AdapterLink link{port, test.modem};

    AdapterCommand command{};
    const Output output = capture([&] {
        command = adapter_command(link, test.byte);
        adapter_print_command(command);
    });

    EXPECT_EQ(command.result, test.result);
    EXPECT_EQ(output.out, test.out);
    EXPECT_EQ(output.err, "");
    EXPECT_EQ(received(expected_bytes.size()), expected_bytes);
}

INSTANTIATE_TEST_SUITE_P(Replies, AdapterSendCommand, testing::ValuesIn(command_cases()),
                         case_name);

} // namespace
