// Key latency while the adapter is silent: how long from a key on spi-sniffer's standard input
// to the end of the process. 20 presses, one run each; prints the median and the worst.
//   key_latency_bench SPI_SNIFFER_PATH [presses]

#include "emulator.hpp"
#include "process.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

int main(int argument_count, char** arguments) {
    if (argument_count < 2) {
        std::fprintf(stderr, "usage: %s SPI_SNIFFER_PATH [presses]\n", arguments[0]);
        return 2;
    }
    const int presses = argument_count > 2 ? std::max(1, std::atoi(arguments[2])) : 20;
    std::vector<double> latencies_ms;
    for (int press = 0; press < presses; ++press) {
        Emulator* emulator = emulator_start(EmulatorScript{}); // sniffs, but nothing comes
        Process sniff;
        if (emulator == nullptr ||
            !process_start(sniff, arguments[1], {"-d", emulator_path(*emulator)}) ||
            !process_wait_for_output(sniff, "OK\n", 10000)) {
            std::fprintf(stderr, "sniffer did not start\n");
            return 1;
        }
        // Somewhere inside a read time-out, not in step with it.
        std::this_thread::sleep_for(std::chrono::milliseconds(150 + 37 * press % 900));
        const auto pressed = std::chrono::steady_clock::now();
        process_send(sniff, "q");
        process_wait(sniff, 10000);
        latencies_ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - pressed)
                .count());
        if (sniff.status != 0)
            std::fprintf(stderr, "press %d: exit status %d\n", press, sniff.status);
        emulator_stop(emulator);
    }
    std::sort(latencies_ms.begin(), latencies_ms.end());
    std::printf("key latency over %d presses while silent: median %.1f ms, worst %.1f ms\n",
                presses, latencies_ms[latencies_ms.size() / 2], latencies_ms.back());
    return latencies_ms.back() < 50.0 ? 0 : 1;
}
