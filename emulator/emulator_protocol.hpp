#pragma once

// Inside the emulator: what it answers to each byte, apart from the pseudo-terminal that carries
// the bytes, so that the protocol can be followed and tested byte by byte.

#include "emulator.hpp"

#include <cstddef>
#include <random>
#include <string>
#include <vector>

enum EmulatorState { emulator_initial, emulator_bitbang, emulator_spi };

struct EmulatorProtocol {
    EmulatorState state = emulator_initial;
    int handshake_count = 0;       // handshake bytes since the last 0x0F or client
    std::size_t reading_index = 0; // into script.readings, over the emulator's whole life
    std::string modem_line;        // received since the last carriage return
    std::mt19937 random;
};

// The protocol before the first byte of the emulator's life.
EmulatorProtocol emulator_protocol_begin(const EmulatorScript& script);

// Appends the answer to byte to reply. Returns whether byte starts the sniffed stream.
bool emulator_answer(const EmulatorScript& script, EmulatorProtocol& protocol, unsigned char byte,
                     std::vector<unsigned char>& reply);

// Back before the handshake, for the next client; the readings go on where they were.
void emulator_protocol_next_client(EmulatorProtocol& protocol);
