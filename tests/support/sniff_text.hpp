#pragma once

// Reads the sniffer's printed output back into the bytes it shows, so a test can check that
// every sniffed byte came out, in order. Each byte is printed as two upper-case hex digits and
// a blank; what the decoder adds ("[", "0x12(", "0x34)", "]\n", "Sync\n", or in raw output the
// same hex a second time, a flash annotation line after a frame's end) is recognised and skipped.
// Returns false on text it cannot place.

#include <string_view>
#include <vector>

bool sniff_text_bytes(std::string_view text, bool raw, std::vector<unsigned char>& bytes);
