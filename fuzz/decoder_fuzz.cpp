// The sniffer's stream decoder on arbitrary traffic cut into arbitrary chunks. Whatever comes,
// the text must show every byte, in order, and must not depend on where the chunks were cut; with
// flash annotations it must keep to the room it is given and differ from the text without them
// only by the annotation lines. With an image the text must not change at all, and the image
// must not depend on the chunks either, keep to its size, and stay within a memory bound.
//
// Input: byte 0 holds the raw flag (bit 0), the flash flag (bit 1), the image flag (bit 2) and
// the step between chunk sizes (bits 3-7), byte 1 the first chunk size less one, byte 2 the
// image size given (0: none, else 2^(n % 33)); the rest is the sniffed stream.

#include "sniff_image.hpp"
#include "sniff_text.hpp"
#include "sniffer.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr std::size_t header_size = 3;
// Pages compared between two images; beyond them, their ranges still are.
constexpr std::uint64_t compared_pages = 2;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "decoder_fuzz: %s\n", what);
    std::abort();
}

void check_state(const SniffDecoder& decoder, bool raw, bool flash) {
    if (decoder.state < 0 || decoder.state > 3) fail("decoder state out of 0..3");
    if (decoder.raw != raw) fail("decoder changed its raw flag");
    if (decoder.flash != flash) fail("decoder changed its flash flag");
}

// Kept from run to run: a run makes no allocation of its own once these have grown.
std::vector<char> room;
std::string texts[4];
std::vector<unsigned char> shown;

// The text without its flash annotation lines, into rest.
void without_annotations(const std::string& text, std::string& rest) {
    const std::string_view marker = "\n    flash: ";
    rest.clear();
    std::size_t from = 0;
    for (std::size_t at; (at = text.find(marker, from)) != std::string::npos;) {
        const std::size_t end = text.find('\n', at + 1);
        if (end == std::string::npos) fail("annotation line without its newline");
        if (end - at > sniff_flash_text_max) fail("annotation line longer than its bound");
        rest.append(text, from, at + 1 - from);
        from = end + 1;
    }
    rest.append(text, from);
}

// Appends the text of count bytes, checking that the decoder keeps to the room it is given.
void decode(SniffDecoder& decoder, const unsigned char* bytes, std::size_t count,
            std::string& text) {
    const std::size_t needed = sniff_text_room(decoder, count);
    if (room.size() < needed) room.resize(needed);
    const std::size_t size =
        sniff_decode_text(decoder, bytes, static_cast<int>(count), room.data());
    if (size > needed) fail("text longer than the room it was given");
    text.append(room.data(), size);
}

// The memory an image may hold after a stream of n bytes: every frame of it (five bytes at
// least) may have made a page and two chunks, and the table of chunks.
std::size_t memory_bound(std::size_t n) {
    return 1024 * sizeof(void*) +
           (n / 5 + 1) * (sizeof(SniffImagePage) + 512 + 2 * sizeof(SniffImageChunk));
}

void check_image(const SniffImage& image, std::size_t stream_size) {
    const std::uint64_t size = sniff_image_size(image, nullptr);
    if (size > sniff_image_largest || (size & (size - 1)) != 0) fail("image size not 2^n");
    if (sniff_image_memory(image) > memory_bound(stream_size)) fail("image memory past its bound");
    // Known bytes lie below the size (an erase of a part smaller than a page marks the page).
    std::uint64_t start = 0, stop = 0;
    const std::uint64_t above = size > sniff_image_page_size ? size : sniff_image_page_size;
    if (!image.erased_everywhere &&
        sniff_image_next_range(image, above, sniff_image_largest, start, stop))
        fail("a byte known above the size");
}

void same_images(const SniffImage& one, const SniffImage& other) {
    const std::uint64_t size = sniff_image_size(one, nullptr);
    if (size != sniff_image_size(other, nullptr)) fail("image size depends on the chunks");
    if (one.disagreements != other.disagreements) fail("disagreements depend on the chunks");
    std::uint64_t compared = 0;
    std::uint64_t a_start = 0, a_stop = 0, b_start = 0, b_stop = 0;
    for (std::uint64_t from = 0;; from = a_stop) {
        const bool a = sniff_image_next_range(one, from, size, a_start, a_stop);
        const bool b = sniff_image_next_range(other, from, size, b_start, b_stop);
        if (a != b || (a && (a_start != b_start || a_stop != b_stop)))
            fail("known ranges depend on the chunks");
        if (!a) return;
        // Both keep 0xFF where nothing is known: with the ranges alike, whole pages compare.
        for (std::uint64_t page = a_start / sniff_image_page_size * sniff_image_page_size;
             page < a_stop && compared < compared_pages; page += sniff_image_page_size, ++compared)
            if (std::memcmp(sniff_image_page_bytes(one, page), sniff_image_page_bytes(other, page),
                            sniff_image_page_size) != 0)
                fail("image bytes depend on the chunks");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < header_size) return -1; // not worth keeping in the corpus
    const bool raw = (data[0] & 1) != 0;
    const bool flash = (data[0] & 2) != 0;
    const bool imaged = (data[0] & 4) != 0;
    const std::size_t step = data[0] >> 3;
    std::size_t chunk = std::size_t{data[1]} + 1;
    const std::uint64_t given = data[2] == 0 ? 0 : std::uint64_t{1} << (data[2] % 33);
    const unsigned char* stream = data + header_size;
    const std::size_t stream_size = size - header_size;
    for (std::string& text : texts) text.clear();
    std::string& chunked_text = texts[0];
    std::string& whole_text = texts[1];

    const std::unique_ptr<SniffImage> chunked_image = imaged ? sniff_image_new(given) : nullptr;
    SniffDecoder chunked = sniff_decoder_new(raw, flash, chunked_image.get());
    check_state(chunked, raw, flash);
    for (std::size_t done = 0; done < stream_size;) {
        const std::size_t count = chunk < stream_size - done ? chunk : stream_size - done;
        decode(chunked, stream + done, count, chunked_text);
        check_state(chunked, raw, flash);
        done += count;
        chunk = 1 + (chunk - 1 + step) % 256;
    }

    // With an image the text is held to the text without one below, which the runs without an
    // image read back.
    shown.clear();
    if (!imaged && !sniff_text_bytes(chunked_text, raw, shown)) fail("text does not parse");
    if (!imaged &&
        (shown.size() != stream_size || !std::equal(shown.begin(), shown.end(), stream)))
        fail("text does not show exactly the stream");

    const std::unique_ptr<SniffImage> whole_image = imaged ? sniff_image_new(given) : nullptr;
    SniffDecoder whole = sniff_decoder_new(raw, flash, whole_image.get());
    if (stream_size > 0) decode(whole, stream, stream_size, whole_text);
    check_state(whole, raw, flash);
    if (whole_text != chunked_text) fail("text depends on where the chunks were cut");
    if (whole.state != chunked.state) fail("end state depends on where the chunks were cut");

    if (stream_size > 0 && imaged) {
        // The text the image must not change.
        SniffDecoder unimaged = sniff_decoder_new(raw, flash);
        decode(unimaged, stream, stream_size, texts[2]);
        if (texts[2] != whole_text) fail("the image changed the text");
    } else if (stream_size > 0 && flash && !raw) {
        // The text the annotations may only add lines to.
        SniffDecoder plain = sniff_decoder_new(raw);
        decode(plain, stream, stream_size, texts[3]);
        without_annotations(whole_text, texts[2]);
        if (texts[2] != texts[3]) fail("flash annotations changed more than their own lines");
    }
    if (imaged) {
        check_image(*chunked_image, stream_size);
        same_images(*chunked_image, *whole_image);
    }
    return 0;
}
