#pragma once

// A scripted Tapwright (or an AT modem) at the far end of a pseudo-terminal. A program opens
// emulator_path() like a real serial device; a background thread answers on the master side
// and records every byte that arrives. Linux only (the client watch uses inotify).

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

inline constexpr int emulator_silence = -1;

// Long enough that the port's 100 ms inter-byte gap ends the read before the next chunk comes.
inline constexpr int emulator_default_chunk_gap_ms = 150;

struct EmulatorScript {
    // Answers "BBIO1" from this handshake byte on (1 = at once), counted anew after every 0x0F;
    // 0 = never.
    int handshake_from_attempt = 1;
    // Until then: five wrong bytes ("BBIO0") to each handshake byte instead of silence.
    bool handshake_wrong = false;
    // Reply to the switch into SPI mode (0x01); "" = silence.
    std::string mode_reply = "SPI1";
    // Reply byte per command byte, or emulator_silence.
    std::array<int, 256> command_reply = [] {
        std::array<int, 256> replies{};
        replies.fill(0x01);
        return replies;
    }();
    // The sniffed stream sent after the start byte 0x0E, one write per chunk.
    std::vector<std::vector<unsigned char>> stream_chunks;
    int stream_chunk_gap_ms = emulator_default_chunk_gap_ms;
    // Close the master once the program has read the whole stream (or flood): it then sees a
    // hang-up and no byte is lost.
    bool hangup_after_stream = false;
    // When not empty, the start byte begins a flood of this pattern, repeated as fast as the
    // master takes it, instead of stream_chunks.
    std::vector<unsigned char> flood_pattern;
    // Bytes the flood sends in all; 0 = until stopped.
    std::size_t flood_bytes = 0;
    // Replies to successive 0x14 measurements, the last one repeating; {} = silence,
    // an empty entry = silence for that measurement.
    std::vector<std::vector<unsigned char>> readings = {{0x47, 0x46}};
    // An AT modem instead of the adapter: answers the three queries below, nothing else.
    bool modem = false;
    std::string ati3 = "\r\nTest modem, firmware 2.4.1 (build 0117)\r\nOK\r\n";
    std::string ati4 = "\r\nSettings: B0 E1 L2 M1 Q0 V1 X4 &C1 &D2\r\nOK\r\n";
    std::string ati7 = "\r\nOptions: V.42\r\nOK\r\n";

    // Not 0: every byte received is answered with 0 to 8 bytes from a generator seeded with
    // this, instead of any protocol, so randomized runs can be replayed.
    std::uint32_t random_seed = 0;
    // Not 0: the stream ends after this many bytes in the emulator's life, and the master is
    // closed once the program has read them.
    std::size_t hangup_after_bytes = 0;
    // Not 0: stream_chunks are sent as one run of bytes at this many bytes per second, in
    // small pieces; the chunk gap does not apply.
    std::size_t stream_rate = 0;
    // The stream starts over after its last byte, until stopped.
    bool stream_repeat = false;
    // Follows the clients that open the slave (the emulator then holds none of its own); once
    // the last one has closed it, the emulator is back in its initial state and the bytes
    // nobody read are dropped, so that the next client starts clean.
    bool watch_clients = false;
    // When not -1, one byte is written here (never blocking) whenever a client opens or closes
    // the port and when the master is closed, so a program can wait on it with poll().
    int notify_fd = -1;
    // When set, every byte received and sent is logged here, in hex, one line per transfer.
    std::FILE* trace = nullptr;
};

struct EmulatorClients {
    int departures = 0;   // times the last client closed the slave
    bool present = false; // a client has it open
};

// A running emulator; made by emulator_start, freed by emulator_stop.
struct Emulator;

// Opens the pseudo-terminal and starts answering. Returns nullptr when no pseudo-terminal could
// be had.
Emulator* emulator_start(const EmulatorScript& script);

// The slave's device path, for serial_open.
std::string emulator_path(const Emulator& emulator);

// Every byte received so far, in order.
std::vector<unsigned char> emulator_received(Emulator& emulator);

// Count of bytes written to the master so far.
std::size_t emulator_sent(Emulator& emulator);

// Waits until at least count bytes were received. Returns whether they were within timeout_ms.
bool emulator_wait_received(Emulator& emulator, std::size_t count, int timeout_ms);

// Waits until done(received) holds. Returns whether it did within timeout_ms.
bool emulator_wait_for(Emulator& emulator,
                       const std::function<bool(const std::vector<unsigned char>&)>& done,
                       int timeout_ms);

// Waits until the master was closed (by emulator_hangup or after the stream). Returns whether
// that happened within timeout_ms.
bool emulator_wait_hung_up(Emulator& emulator, int timeout_ms);

// The clients of the slave; nothing unless the script watches them.
EmulatorClients emulator_clients(Emulator& emulator);

// Waits until a client has opened the slave and every client has closed it again (at least
// once). Returns whether that happened within timeout_ms.
bool emulator_wait_clients_done(Emulator& emulator, int timeout_ms);

// Closes the master now; returns once it is closed. The program sees a hang-up.
void emulator_hangup(Emulator& emulator);

// Stops the thread, closes every descriptor and frees the emulator. Never blocks on the program.
void emulator_stop(Emulator* emulator);

// A sniffed SPI NOR flash session as the adapter sends it: READ ID first, then the operations
// the sniffer's flash annotations name (erases and programs enabled first and polled until
// ready, dual and four-byte forms, the four-byte mode, the extended address register, power down
// and release). It ends where a frame ends, so it can be repeated end to end.
std::vector<unsigned char> emulator_demo_stream();

// What the demo's flash holds at address, before the session and after it: every byte the
// session reads is this.
unsigned char emulator_demo_flash(std::uint32_t address);
