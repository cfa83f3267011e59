#pragma once

#include "serial.hpp"

#include <array>
#include <string>

// The adapter's binary protocol: each exchange is one byte out, a short pause for the adapter and
// one bounded read. The exchanges only talk to the line and return what they saw, with what is to
// be said about it; the programs print that through adapter_print_* below, each at its place.

// The binary protocol modes, by mode byte; the adapter confirms a switch into mode m with
// mode_names[m] followed by "1". Mode 0 (binary bit-bang itself) is never switched into.
inline constexpr std::array<const char*, 6> mode_names = {"BBIO", "SPI", "I2C",
                                                          "ART",  "1W0", "RAW"};

inline constexpr unsigned char adapter_ack = 0x01;
// The handshake byte is sent up to handshake_attempts times. The adapter leaves its text mode
// only after up to 20 zero bytes, so odd replies to those are expected and pass quietly; past
// them every reply other than five bytes is reported.
inline constexpr int handshake_attempts = 26;
inline constexpr int handshake_lenient_attempts = 20;
inline constexpr int handshake_reply_size = 5; // "BBIO1"
inline constexpr int reply_area_size = 100;
inline constexpr int modem_reply_area_size = 256;

// The line the adapter is on.
struct AdapterLink {
    PortHandle port;
    bool modem; // an AT modem stands on the line in place of the adapter (modem test mode)
};

// What the programs say about an exchange's reply. The exchange decides it, where the reply is
// read, so that the rules (which handshake attempts may fail quietly, which modes can be switched
// into, what a modem's reply counts as) stand in one place; printing only formats it.
enum AdapterNote {
    adapter_note_none,
    adapter_note_wrong_reply, // " Tapwright did not respond correctly :( COUNT "
    adapter_note_modem_count, // "\n Modem Responded = COUNT\n"
    adapter_note_refused,     // " ERROR: Tapwright replied with 0xREPLY instead of 0x01 "
    adapter_note_modem_reply, // " Modem responded with COUNT byte and with a value of 0XREPLY"
};

// One exchange: whether the byte went out whole, what the read returned (1 or more bytes, or -1
// when nothing came), and what is said about it.
struct AdapterExchange {
    bool sent;
    int count;
    AdapterNote note;
};

struct AdapterHandshake {
    // 0 in binary bit-bang mode. Otherwise -1, or 5 when the last attempt read five wrong bytes;
    // in modem test mode the count of its one read.
    int result;
    int attempts; // exchanges made
    std::array<AdapterExchange, handshake_attempts> exchanges;
    bool port_missing; // the port was not open: nothing was tried
    bool gave_up;      // every attempt spent without binary mode (never in modem test mode)
};

struct AdapterSwitch {
    int result; // the mode when the adapter confirmed it, -1 otherwise
    AdapterExchange exchange;
};

struct AdapterCommand {
    int result; // 0 when acknowledged (always in modem test mode), -1 otherwise
    AdapterExchange exchange;
    unsigned char reply; // 0 when nothing came
};

struct AdapterModemReply {
    bool sent;
    std::string text; // the bytes of the one read, up to the first zero byte, at most 255
};

// Brings the adapter into binary bit-bang mode ("BBIO1" in answer to 0x00).
AdapterHandshake adapter_enter_binary(const AdapterLink& link);

// Switches from binary bit-bang mode into protocol mode `mode`. Only modes 1 to 5 can be: any
// other mode byte still goes out, and its reply is complained about.
AdapterSwitch adapter_switch_mode(const AdapterLink& link, int mode);

// The name of protocol mode `mode` (mode_names), or null for a mode byte that names none.
const char* adapter_mode_name(int mode);

// Sends one command byte and expects the acknowledgement 0x01.
AdapterCommand adapter_command(const AdapterLink& link, unsigned char byte);

// Modem test mode: sends one identification query (e.g. "ATI7\r") and takes the reply.
AdapterModemReply adapter_query_modem(const AdapterLink& link, const char* query);

// The pause between a byte out and the read of its reply: 1 ms for the adapter to answer.
void adapter_pause();

// Announces the adapter's port (" Opening Tapwright on ... at ...bps..."), opens it and sets up
// its line at baud (a refused line setting is no reason to stop: the adapter may still answer).
// Returns the port, or -1 after " Error opening serial port" on standard error and, on a line of
// its own, why (see serial_open_error_text).
PortHandle adapter_open(const std::string& device, const std::string& speed, int baud);

// The texts of the exchanges, printed by both programs in the order the exchanges happened.

// "Error sending data" on standard error, when a write did not go out whole.
void adapter_print_sent(bool sent);

// What the handshake saw, after " Entering binary mode...": failed writes, the notes of its
// exchanges, and the too-many-tries line when it gave up.
void adapter_print_handshake(const AdapterHandshake& handshake);

// " Switching to SPI mode" (the mode's name from mode_names), before the switch.
void adapter_print_switching(int mode);

// A switch's failed write and its note.
void adapter_print_switch(const AdapterSwitch& result);

// A command's failed write and its note: the adapter's refusal, or the modem's reply.
void adapter_print_command(const AdapterCommand& command);
