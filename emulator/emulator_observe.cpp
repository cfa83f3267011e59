// What the callers learn of a running emulator: what it received and sent, and waits for it.

#include "emulator_thread.hpp"

#include <chrono>

std::string emulator_path(const Emulator& emulator) {
    return emulator.slave_path;
}

std::vector<unsigned char> emulator_received(Emulator& emulator) {
    std::lock_guard lock(emulator.mutex);
    return emulator.received;
}

std::size_t emulator_sent(Emulator& emulator) {
    std::lock_guard lock(emulator.mutex);
    return emulator.sent;
}

bool emulator_wait_for(Emulator& emulator,
                       const std::function<bool(const std::vector<unsigned char>&)>& done,
                       int timeout_ms) {
    std::unique_lock lock(emulator.mutex);
    return emulator.changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                     [&] { return done(emulator.received); });
}

bool emulator_wait_received(Emulator& emulator, std::size_t count, int timeout_ms) {
    return emulator_wait_for(
        emulator,
        [count](const std::vector<unsigned char>& bytes) { return bytes.size() >= count; },
        timeout_ms);
}

bool emulator_wait_hung_up(Emulator& emulator, int timeout_ms) {
    std::unique_lock lock(emulator.mutex);
    return emulator.changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                     [&] { return emulator.hung_up; });
}

EmulatorClients emulator_clients(Emulator& emulator) {
    std::lock_guard lock(emulator.mutex);
    return emulator.clients;
}

bool emulator_wait_clients_done(Emulator& emulator, int timeout_ms) {
    std::unique_lock lock(emulator.mutex);
    return emulator.changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                     [&] { return emulator.clients.departures > 0; });
}
