#pragma once

#include "serial.hpp"

#include <array>

// The binary protocol modes, by mode byte; the adapter confirms a switch into mode m with
// mode_names[m] followed by "1". Mode 0 (binary bit-bang itself) is never switched into.
inline constexpr std::array<const char*, 6> mode_names = {"BBIO", "SPI", "I2C",
                                                          "ART",  "1W0", "RAW"};

inline constexpr unsigned char adapter_ack = 0x01;
inline constexpr int handshake_attempts = 26;
inline constexpr int handshake_lenient_attempts = 20;
inline constexpr int reply_area_size = 100;

// Announces and opens the port the adapter is on, and sets its line up at `speed` baud.
// Returns the port, or -1 after printing " Error opening serial port" on standard error and,
// on a line of its own, why.
PortHandle adapter_open(const char* device, const char* speed);

// Brings the adapter into binary bit-bang mode ("BBIO1" in answer to 0x00).
// Returns 0 on success, non-zero otherwise (in modem test mode: the count of the one read).
int adapter_enter_binary(PortHandle port);

// Switches from binary bit-bang mode into protocol mode `mode`.
// Returns mode when the adapter confirmed it, -1 otherwise.
int adapter_switch_mode(PortHandle port, int mode);

// Sends one command byte and expects the acknowledgement 0x01.
// Returns 0 when acknowledged (always in modem test mode), -1 otherwise.
int adapter_command(PortHandle port, unsigned char byte);

inline constexpr int modem_reply_area_size = 256;

// Modem test mode: sends one identification query (e.g. "ATI7\r") and prints the reply as the
// text "\n %s\n": the bytes of this read alone, up to the first zero byte, empty when none came.
void adapter_query_modem(PortHandle port, const char* query);
