// What both programs do alike with the port they are given and the standard descriptors they
// start with: every case runs for spi-sniffer and for hvp-selftest.

#include "program_run.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using ::PrintTo; // names the test cases in listings

struct ProgramCase {
    const char* name;
    std::string path;
    std::string port_option;
    std::string keys; // what it reads before it opens the port
    // With its input closed from the start: whether that ends the run (else it runs on until a
    // signal), and how its output ends.
    bool closed_input_ends_it;
    std::string closed_input_ending;
};

const ProgramCase programs[] = {
    {"SpiSniffer", SPI_SNIFFER_PATH, "-d", "", false,
     " Setting Clockedge/Polarity ...... CKE=1OK\n"},
    {"HvpSelftest", HVP_SELFTEST_PATH, "-p", "a", true,
     " Press Esc to exit, any other key to start the self-test \n\n"
     "\n Esc key hit, stopping...\n (Bye for now!)\n"},
};

class ProgramPort : public testing::TestWithParam<ProgramCase> {};

TEST_P(ProgramPort, MissingPortIsNamed) {
    const ProgramCase& program = GetParam();
    Process p;
    ASSERT_TRUE(process_start(p, program.path, {program.port_option, "/nonexistent/ttyUSB9"}));
    ASSERT_TRUE(process_send(p, program.keys));
    ASSERT_TRUE(process_wait(p, test_timeout_ms));
    EXPECT_TRUE(begins_with(p.err, missing_port("/nonexistent/ttyUSB9"))) << p.err;
    EXPECT_EQ(p.status, 255);
}

// A file, a pipe and a null device given as the port are refused before a byte reaches them.
TEST_P(ProgramPort, OnlySerialPortsAreOpened) {
    const ProgramCase& program = GetParam();
    const TempFolder folder;
    const std::string file = folder.path + "/file", fifo = folder.path + "/fifo";
    const std::string content = "hello world\n";
    ASSERT_TRUE(std::ofstream(file) << content);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& port :
         {file, fifo, std::string("/dev/null"), std::string("/dev/zero")}) {
        SCOPED_TRACE(port);
        Process p;
        ASSERT_TRUE(process_start(p, program.path, {program.port_option, port}));
        process_send(p, program.keys);
        ASSERT_TRUE(process_wait(p, test_timeout_ms));
        EXPECT_EQ(p.err, open_failure(port + " is not a serial port (not a terminal device); "
                                             "nothing was written to it"));
        EXPECT_EQ(p.status, 255);
    }
    struct stat status {};
    ASSERT_EQ(stat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_size, static_cast<off_t>(content.size())) << "the file was written";
}

// Closed standard descriptors are not taken by the port: nothing meant for the user reaches the
// adapter. A closed standard output cannot be written, so the run ends before the port opens.
TEST_P(ProgramPort, ClosedStandardDescriptorsAreNotTakenByThePort) {
    const ProgramCase& program = GetParam();
    ProgramRun run;
    ASSERT_NO_FATAL_FAILURE(program_run_emulate(run, EmulatorScript{}));
    ASSERT_TRUE(start_from_shell(run.process, program.path, "", "<&- >&- 2>&-",
                                 {program.port_option, run.port}));
    ASSERT_TRUE(process_wait(run.process, test_timeout_ms));
    EXPECT_EQ(run.process.status, 255);
    EXPECT_EQ(emulator_received(*run.emulator), std::vector<unsigned char>{});
}

// A closed standard input is the end of input, not a descriptor for the program's own use: the
// self-test takes it as Esc, the sniffer sniffs until it is signalled.
TEST_P(ProgramPort, ClosedInputIsTheEndOfInput) {
    const ProgramCase& program = GetParam();
    ProgramRun run;
    ASSERT_NO_FATAL_FAILURE(program_run_emulate(run, EmulatorScript{}));
    ASSERT_TRUE(start_from_shell(run.process, program.path, "", "<&-",
                                 {program.port_option, run.port}, merged()));
    if (!program.closed_input_ends_it) {
        ASSERT_TRUE(
            process_wait_for_output(run.process, program.closed_input_ending, test_timeout_ms));
        EXPECT_EQ(process_running(run.process), 1);
        process_signal(run.process, SIGTERM);
    }
    ASSERT_TRUE(process_wait(run.process, test_timeout_ms));
    EXPECT_TRUE(run.process.exited);
    EXPECT_EQ(run.process.status, program.closed_input_ends_it ? 255 : 0);
    EXPECT_TRUE(run.process.out.ends_with(program.closed_input_ending)) << run.process.out;
}

INSTANTIATE_TEST_SUITE_P(Programs, ProgramPort, testing::ValuesIn(programs), case_name);

} // namespace
