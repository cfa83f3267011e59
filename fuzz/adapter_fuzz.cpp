// The adapter's exchanges against arbitrary replies. Whatever the far end sends, every call
// returns within its documented results, sends exactly what it should, and never reads or
// writes outside its areas.
//
// Input: byte 0 picks the exchange (bits 0-1), modem test mode (bit 2) and, for the handshake,
// a port that is not open (bit 3); byte 1 is the exchange's argument; the rest is the serial
// script (see serial_scripted.hpp).

#include "adapter.hpp"
#include "serial_scripted.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr std::size_t header_size = 2;
constexpr PortHandle open_port = 3;
constexpr int handshake_reply_size = 5;
constexpr std::array<const char*, 3> modem_queries = {"ATI3\r", "ATI4\r", "ATI7\r"};

enum Exchange { enter_binary = 0, switch_mode = 1, command = 2, query_modem = 3 };

[[noreturn]] void fail(const char* what, int result) {
    std::fprintf(stderr, "adapter_fuzz: %s (result %i)\n", what, result);
    std::abort();
}

void expect(bool holds, const char* what, int result = 0) {
    if (!holds) fail(what, result);
}

// Every write so far is the one byte given.
bool writes_are(const SerialScript& script, unsigned char byte) {
    for (const ScriptBytes& write : script.writes)
        if (write.size() != 1 || write[0] != byte) return false;
    return true;
}

void check_enter_binary(const AdapterLink& link) {
    const AdapterHandshake handshake = adapter_enter_binary(link);
    const int result = handshake.result;
    const SerialScript& script = serial_script();
    const PortHandle port = link.port;
    if (port == port_not_open) {
        expect(result == -1 && script.writes.empty(), "no port: -1 and nothing sent", result);
        return;
    }
    expect(writes_are(script, 0x00), "the handshake sends only 0x00 bytes", result);
    expect(script.writes.size() == script.reads.size(), "one read per byte sent", result);
    expect(script.writes.size() == static_cast<std::size_t>(handshake.attempts),
           "every attempt is reported", result);
    if (link.modem) {
        expect(script.writes.size() == 1, "modem test mode tries once", result);
        expect(result == -1 || (result >= 1 && result <= handshake_reply_size),
               "modem test mode returns the count of its one read", result);
        return;
    }
    expect(result >= -1 && result <= handshake_reply_size, "handshake result out of range", result);
    expect(handshake.gave_up == (result != 0), "gave up exactly without binary mode", result);
    for (int attempt = 0; attempt < handshake_lenient_attempts && attempt < handshake.attempts;
         ++attempt)
        expect(handshake.exchanges[static_cast<std::size_t>(attempt)].note == adapter_note_none,
               "an early attempt was complained about", result);
    expect(!script.writes.empty() &&
               script.writes.size() <= static_cast<std::size_t>(handshake_attempts),
           "handshake attempts out of range", result);
    const ScriptBytes& first = script.reads.front();
    if (first.size() == handshake_reply_size &&
        std::memcmp(first.data(), "BBIO1", handshake_reply_size) == 0)
        expect(result == 0 && script.writes.size() == 1, "a first BBIO1 must be taken", result);
}

void check_switch_mode(const AdapterLink& link, int mode) {
    const int result = adapter_switch_mode(link, mode).result;
    const SerialScript& script = serial_script();
    expect(result == mode || result == -1, "switch result is neither the mode nor -1", result);
    expect(result == -1 || (mode >= 1 && mode < static_cast<int>(mode_names.size())),
           "switched into a mode that cannot be switched into", result);
    expect(script.writes.size() == 1 && writes_are(script, static_cast<unsigned char>(mode)),
           "the switch sends the mode byte once", result);
}

void check_command(const AdapterLink& link, unsigned char byte) {
    const int result = adapter_command(link, byte).result;
    const SerialScript& script = serial_script();
    expect(result == 0 || result == -1, "command result is neither 0 nor -1", result);
    expect(!link.modem || result == 0, "modem test mode always acknowledges", result);
    expect(script.writes.size() == 1 && writes_are(script, byte), "the command sends its byte once",
           result);
}

void check_query_modem(const AdapterLink& link, const char* query) {
    const std::string shown = adapter_query_modem(link, query).text;
    const SerialScript& script = serial_script();
    expect(script.writes.size() == 1 &&
               std::string(script.writes[0].begin(), script.writes[0].end()) == query,
           "the query goes out once, whole");
    expect(script.reads.size() == 1, "the query takes one read");
    std::string reply(script.reads[0].begin(), script.reads[0].end());
    reply = reply.substr(0, reply.find('\0'));
    reply = reply.substr(0, modem_reply_area_size - 1);
    expect(shown == reply, "the reply is not taken as it came");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < header_size) return -1; // not worth keeping in the corpus
    const int exchange = data[0] & 3;
    const bool modem = (data[0] & 4) != 0;
    const bool port_missing = (data[0] & 8) != 0;
    const AdapterLink link{port_missing && exchange == enter_binary ? port_not_open : open_port,
                           modem};
    const unsigned char argument = data[1];
    serial_script_load(data + header_size, size - header_size);

    switch (exchange) {
    case enter_binary: check_enter_binary(link); break;
    case switch_mode: check_switch_mode(link, argument % 12 - 2); break;
    case command: check_command(link, argument); break;
    default: check_query_modem(link, modem_queries[argument % modem_queries.size()]); break;
    }
    return 0;
}
