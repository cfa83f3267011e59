// In a file of its own, so that a build without a real line (the fuzzer) can pause for nothing.

#include "adapter.hpp"

#include <chrono>
#include <thread>

void adapter_pause() {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}
