#include "emulator_protocol.hpp"

#include <algorithm>
#include <utility>

namespace {

// The emulator keeps its own copy of the protocol's bytes: shared with the programs, a wrong
// one would go unnoticed on both ends of the line.
constexpr unsigned char handshake_byte = 0x00;
constexpr unsigned char spi_switch_byte = 0x01;
constexpr unsigned char closing_byte = 0x0F;
constexpr unsigned char sniffer_start_byte = 0x0E;
constexpr unsigned char measure_byte = 0x14;
constexpr char handshake_reply[] = "BBIO1";
constexpr char handshake_wrong_reply[] = "BBIO0";
constexpr std::size_t handshake_reply_size = 5;
constexpr std::size_t modem_line_limit = 256;
constexpr unsigned random_reply_most = 8;

void append(std::vector<unsigned char>& reply, const void* bytes, std::size_t count) {
    const auto* first = static_cast<const unsigned char*>(bytes);
    reply.insert(reply.end(), first, first + count);
}

void reply_command(const EmulatorScript& script, unsigned char byte,
                   std::vector<unsigned char>& reply) {
    const int answer = script.command_reply[byte];
    if (answer != emulator_silence) reply.push_back(static_cast<unsigned char>(answer));
}

void reply_reading(const EmulatorScript& script, EmulatorProtocol& protocol,
                   std::vector<unsigned char>& reply) {
    const auto& readings = script.readings;
    if (readings.empty()) return;
    const auto& reading = readings[std::min(protocol.reading_index, readings.size() - 1)];
    ++protocol.reading_index;
    append(reply, reading.data(), reading.size());
}

// The generator is drawn once per byte received, whatever the reads look like, so a seed and
// the bytes sent fix the replies.
void answer_random(EmulatorProtocol& protocol, std::vector<unsigned char>& reply) {
    const unsigned count = protocol.random() % (random_reply_most + 1);
    for (unsigned i = 0; i < count; ++i)
        reply.push_back(static_cast<unsigned char>(protocol.random() & 0xFF));
}

// A modem acts on a line once its carriage return comes; whatever preceded the "AT" on the
// line (binary bytes of an earlier client) does not matter.
void answer_modem(const EmulatorScript& script, EmulatorProtocol& protocol, unsigned char byte,
                  std::vector<unsigned char>& reply) {
    std::string& line = protocol.modem_line;
    if (byte != '\r') {
        line.push_back(static_cast<char>(byte));
        if (line.size() > modem_line_limit) line.erase(0, line.size() - modem_line_limit);
        return;
    }
    const std::string ended = std::exchange(line, {});
    const std::string* answer = nullptr;
    if (ended.ends_with("ATI3")) answer = &script.ati3;
    if (ended.ends_with("ATI4")) answer = &script.ati4;
    if (ended.ends_with("ATI7")) answer = &script.ati7;
    if (answer != nullptr) append(reply, answer->data(), answer->size());
}

// Returns whether byte starts the sniffed stream.
bool answer_adapter(const EmulatorScript& script, EmulatorProtocol& protocol, unsigned char byte,
                    std::vector<unsigned char>& reply) {
    switch (protocol.state) {
    case emulator_initial:
        if (byte != handshake_byte) return false;
        ++protocol.handshake_count;
        if (script.handshake_from_attempt > 0 &&
            protocol.handshake_count >= script.handshake_from_attempt) {
            append(reply, handshake_reply, handshake_reply_size);
            protocol.state = emulator_bitbang;
        } else if (script.handshake_wrong) {
            append(reply, handshake_wrong_reply, handshake_reply_size);
        }
        return false;
    case emulator_bitbang:
        switch (byte) {
        case handshake_byte: append(reply, handshake_reply, handshake_reply_size); return false;
        case spi_switch_byte:
            append(reply, script.mode_reply.data(), script.mode_reply.size());
            protocol.state = emulator_spi;
            return false;
        case measure_byte: reply_reading(script, protocol, reply); return false;
        case closing_byte:
            protocol.state = emulator_initial;
            protocol.handshake_count = 0;
            return false;
        default: reply_command(script, byte, reply); return false;
        }
    case emulator_spi:
        if (byte == sniffer_start_byte) return true;
        reply_command(script, byte, reply);
        return false;
    }
    return false;
}

} // namespace

EmulatorProtocol emulator_protocol_begin(const EmulatorScript& script) {
    EmulatorProtocol protocol;
    protocol.random.seed(script.random_seed);
    return protocol;
}

bool emulator_answer(const EmulatorScript& script, EmulatorProtocol& protocol, unsigned char byte,
                     std::vector<unsigned char>& reply) {
    if (script.random_seed != 0) {
        answer_random(protocol, reply);
        return false;
    }
    if (script.modem) {
        answer_modem(script, protocol, byte, reply);
        return false;
    }
    return answer_adapter(script, protocol, byte, reply);
}

void emulator_protocol_next_client(EmulatorProtocol& protocol) {
    protocol.state = emulator_initial;
    protocol.handshake_count = 0;
    protocol.modem_line.clear();
}
