// The sniffer's stream decoder on arbitrary traffic cut into arbitrary chunks. Whatever comes,
// the text must show every byte, in order, and must not depend on where the chunks were cut.
//
// Input: byte 0 holds the raw flag (bit 0) and the step between chunk sizes (bits 1-7),
// byte 1 the first chunk size less one; the rest is the sniffed stream.

#include "capture.hpp"
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

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (fuzz_capture_start() != 0) fail("cannot capture standard output");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < header_size) return -1; // not worth keeping in the corpus
    const bool raw = (data[0] & 1) != 0;
    const std::size_t step = data[0] >> 1;
    std::size_t chunk = std::size_t{data[1]} + 1;
    const unsigned char* stream = data + header_size;
    const std::size_t stream_size = size - header_size;

    fuzz_capture_clear();
    SniffDecoder chunked = sniff_decoder_new(raw);
    check_state(chunked, raw);
    for (std::size_t done = 0; done < stream_size;) {
        const std::size_t count = chunk < stream_size - done ? chunk : stream_size - done;
        sniff_decode(chunked, stream + done, static_cast<int>(count));
        check_state(chunked, raw);
        done += count;
        chunk = 1 + (chunk - 1 + step) % 256;
    }
    const std::string chunked_text = fuzz_capture_text();

    std::vector<unsigned char> shown;
    if (!sniff_text_bytes(chunked_text, raw, shown)) fail("text does not parse");
    if (shown != std::vector<unsigned char>(stream, stream + stream_size))
        fail("text does not show exactly the stream");

    fuzz_capture_clear();
    SniffDecoder whole = sniff_decoder_new(raw);
    if (stream_size > 0) sniff_decode(whole, stream, static_cast<int>(stream_size));
    check_state(whole, raw);
    if (fuzz_capture_text() != chunked_text) fail("text depends on where the chunks were cut");
    if (whole.state != chunked.state) fail("end state depends on where the chunks were cut");
    return 0;
}
