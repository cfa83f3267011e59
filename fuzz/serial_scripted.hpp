#pragma once

// The serial layer of serial.hpp, replaying a script instead of a port, for the fuzzers.
//
// Each serial_read takes one count byte from the script: 0 is a read that timed out (-1),
// 255 fills the whole request, any other value c gives min(c, n) bytes; those bytes come next
// in the script (fewer when it runs out). Once the script is used up every read times out.
// Every write is recorded and fully accepted.

#include <cstddef>
#include <vector>

using ScriptBytes = std::vector<unsigned char>;

struct SerialScript {
    const unsigned char* data = nullptr;
    std::size_t size = 0;
    std::size_t position = 0;
    std::vector<ScriptBytes> writes;
    // What each read returned: its bytes, empty for a read that came back with -1.
    std::vector<ScriptBytes> reads;
};

// Starts a new script; the bytes must outlive its use.
void serial_script_load(const unsigned char* data, std::size_t size);

// The script being replayed, with the writes and reads so far.
const SerialScript& serial_script();
