// The sniffer's stream decoder on arbitrary traffic cut into arbitrary chunks. Whatever comes,
// the text must show every byte, in order, and must not depend on where the chunks were cut.
//
// Input: byte 0 holds the raw flag (bit 0) and the step between chunk sizes (bits 1-7),
// byte 1 the first chunk size less one; the rest is the sniffed stream.

#include "sniff_text.hpp"
#include "sniffer.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr std::size_t header_size = 2;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "decoder_fuzz: %s\n", what);
    std::abort();
}

void check_state(const SniffDecoder& decoder, bool raw) {
    if (decoder.state < 0 || decoder.state > 3) fail("decoder state out of 0..3");
    if (decoder.raw != raw) fail("decoder changed its raw flag");
}

// Appends the text of count bytes, checking that the decoder keeps to the room it is given.
void decode(SniffDecoder& decoder, const unsigned char* bytes, std::size_t count,
            std::string& text) {
    std::vector<char> room(count * sniff_text_per_byte);
    const std::size_t size =
        sniff_decode_text(decoder, bytes, static_cast<int>(count), room.data());
    if (size > room.size()) fail("text longer than the room it was given");
    text.append(room.data(), size);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < header_size) return -1; // not worth keeping in the corpus
    const bool raw = (data[0] & 1) != 0;
    const std::size_t step = data[0] >> 1;
    std::size_t chunk = std::size_t{data[1]} + 1;
    const unsigned char* stream = data + header_size;
    const std::size_t stream_size = size - header_size;

    SniffDecoder chunked = sniff_decoder_new(raw);
    check_state(chunked, raw);
    std::string chunked_text;
    for (std::size_t done = 0; done < stream_size;) {
        const std::size_t count = chunk < stream_size - done ? chunk : stream_size - done;
        decode(chunked, stream + done, count, chunked_text);
        check_state(chunked, raw);
        done += count;
        chunk = 1 + (chunk - 1 + step) % 256;
    }

    std::vector<unsigned char> shown;
    if (!sniff_text_bytes(chunked_text, raw, shown)) fail("text does not parse");
    if (shown != std::vector<unsigned char>(stream, stream + stream_size))
        fail("text does not show exactly the stream");

    SniffDecoder whole = sniff_decoder_new(raw);
    std::string whole_text;
    if (stream_size > 0) decode(whole, stream, stream_size, whole_text);
    check_state(whole, raw);
    if (whole_text != chunked_text) fail("text depends on where the chunks were cut");
    if (whole.state != chunked.state) fail("end state depends on where the chunks were cut");
    return 0;
}
