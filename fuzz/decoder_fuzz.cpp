// The sniffer's stream decoder on arbitrary traffic cut into arbitrary chunks. Whatever comes,
// the text must show every byte, in order, and must not depend on where the chunks were cut; with
// flash annotations it must keep to the room it is given and differ from the text without them
// only by the annotation lines.
//
// Input: byte 0 holds the raw flag (bit 0), the flash flag (bit 1) and the step between chunk
// sizes (bits 2-7), byte 1 the first chunk size less one; the rest is the sniffed stream.

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

void check_state(const SniffDecoder& decoder, bool raw, bool flash) {
    if (decoder.state < 0 || decoder.state > 3) fail("decoder state out of 0..3");
    if (decoder.raw != raw) fail("decoder changed its raw flag");
    if (decoder.flash != flash) fail("decoder changed its flash flag");
}

// The text without its flash annotation lines.
std::string without_annotations(const std::string& text) {
    const std::string marker = "\n    flash: ";
    std::string rest;
    std::size_t from = 0;
    for (std::size_t at; (at = text.find(marker, from)) != std::string::npos;) {
        const std::size_t end = text.find('\n', at + 1);
        if (end == std::string::npos) fail("annotation line without its newline");
        if (end - at > sniff_flash_text_max) fail("annotation line longer than its bound");
        rest.append(text, from, at + 1 - from);
        from = end + 1;
    }
    return rest.append(text, from);
}

// Appends the text of count bytes, checking that the decoder keeps to the room it is given.
void decode(SniffDecoder& decoder, const unsigned char* bytes, std::size_t count,
            std::string& text) {
    std::vector<char> room(sniff_text_room(decoder, count));
    const std::size_t size =
        sniff_decode_text(decoder, bytes, static_cast<int>(count), room.data());
    if (size > room.size()) fail("text longer than the room it was given");
    text.append(room.data(), size);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < header_size) return -1; // not worth keeping in the corpus
    const bool raw = (data[0] & 1) != 0;
    const bool flash = (data[0] & 2) != 0;
    const std::size_t step = data[0] >> 2;
    std::size_t chunk = std::size_t{data[1]} + 1;
    const unsigned char* stream = data + header_size;
    const std::size_t stream_size = size - header_size;

    SniffDecoder chunked = sniff_decoder_new(raw, flash);
    check_state(chunked, raw, flash);
    std::string chunked_text;
    for (std::size_t done = 0; done < stream_size;) {
        const std::size_t count = chunk < stream_size - done ? chunk : stream_size - done;
        decode(chunked, stream + done, count, chunked_text);
        check_state(chunked, raw, flash);
        done += count;
        chunk = 1 + (chunk - 1 + step) % 256;
    }

    std::vector<unsigned char> shown;
    if (!sniff_text_bytes(chunked_text, raw, shown)) fail("text does not parse");
    if (shown != std::vector<unsigned char>(stream, stream + stream_size))
        fail("text does not show exactly the stream");

    SniffDecoder whole = sniff_decoder_new(raw, flash);
    std::string whole_text;
    if (stream_size > 0) decode(whole, stream, stream_size, whole_text);
    check_state(whole, raw, flash);
    if (whole_text != chunked_text) fail("text depends on where the chunks were cut");
    if (whole.state != chunked.state) fail("end state depends on where the chunks were cut");

    if (flash && !raw && stream_size > 0) {
        SniffDecoder plain = sniff_decoder_new(raw);
        std::string plain_text;
        decode(plain, stream, stream_size, plain_text);
        if (without_annotations(whole_text) != plain_text)
            fail("flash annotations changed more than their own lines");
    }
    return 0;
}
