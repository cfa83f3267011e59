#pragma once

// The flash contents that the sniffed traffic tells, byte by byte, with what is known of each
// byte; and the counts the summary gives. The image is sparse: a page of it is made when the
// traffic first tells something of it, so a capture that touches the two ends of a large part
// costs a few pages, and an erase costs no page at all.
//
// Addresses: once the part's size is known (given, or told by READ ID or SFDP), an address is
// taken modulo the size, as the chip ignores address bits above its capacity. Until then every
// address is kept as the traffic gave it; when the size becomes known, what was learned above
// it is folded down onto the address modulo the size: it fills what is not known there yet, and
// where it differs from a byte known there it counts as a disagreement and the byte known there
// stays.

#include "sniff_flash.hpp"

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

inline constexpr std::uint32_t sniff_image_page_size = 4096;
inline constexpr std::uint64_t sniff_image_pages_per_chunk = 1024;
inline constexpr std::uint64_t sniff_image_largest = std::uint64_t{1} << 32;
inline constexpr std::size_t sniff_image_disagreements_kept = 8;
inline constexpr std::size_t sniff_image_sfdp_kept = 512; // the start of the SFDP space

// What is known of the page comes first: it is looked at before its data.
struct SniffImagePage {
    std::unique_ptr<std::uint64_t[]> known; // a bit a byte; null when every byte is known
    std::uint32_t known_count;
    unsigned char data[sniff_image_page_size]; // 0xFF where nothing is known
};

// 4 MiB of the address space. A page that an erase made all 0xFF is a bit, not a page.
struct SniffImageChunk {
    std::array<std::unique_ptr<SniffImagePage>, sniff_image_pages_per_chunk> pages;
    std::bitset<sniff_image_pages_per_chunk> erased;
    // A bit a page that holds a page or is erased: walks pass over the others a word at a time.
    std::array<std::uint64_t, sniff_image_pages_per_chunk / 64> used;
};

enum SniffSizeSource : unsigned char {
    sniff_size_none,    // nothing at an address was learned
    sniff_size_given,   // --image-size
    sniff_size_read_id, // the capacity code of a READ ID reply
    sniff_size_sfdp,    // the density in the SFDP basic parameter table
    sniff_size_highest, // the highest address learned, rounded up to a power of two
};

struct SniffDisagreement {
    std::uint32_t address;
    unsigned char known;
    unsigned char read;
};

struct SniffTally {
    std::uint64_t bytes;  // of the stream, framing included
    std::uint64_t frames; // that ended
    std::uint64_t pairs;
    std::array<std::uint64_t, sniff_flash_command_count> per_command;
    std::uint64_t unknown; // frames of a command the table does not know
    std::uint64_t empty;
    std::uint64_t quad;         // data on four lines: two of them are not sniffed
    std::uint64_t undecodable;  // phases that do not fall on whole pairs
    std::uint64_t short_frames; // closed before their command was whole
    std::uint64_t cut_frames;   // broken by a byte outside the framing
    std::uint64_t ignored;      // writes that carried more bytes than the command takes
};

struct SniffImage {
    std::vector<std::unique_ptr<SniffImageChunk>> chunks; // made on first touch, up to the last
    bool erased_everywhere; // a chip erase: what no page holds is known 0xFF
    std::uint32_t mask;     // the size less one, once known; all ones before
    std::uint64_t given_size, id_size, sfdp_size;
    std::uint64_t highest; // one past the highest address learned
    bool id_seen;
    unsigned char id[3]; // manufacturer, type, capacity of the READ ID that told the size
    std::uint64_t disagreements;
    std::array<SniffDisagreement, sniff_image_disagreements_kept> first_disagreements;
    // The page buffer of the program under way: a page program latches its data and writes it
    // when chip select rises, the last byte sent to a place winning.
    std::array<unsigned char, 256> program;
    std::array<std::uint64_t, 4> programmed; // a bit a byte of it

    std::array<unsigned char, sniff_image_sfdp_kept> sfdp;
    std::bitset<sniff_image_sfdp_kept> sfdp_known;
    SniffTally tally;
    // The page the last byte went to: reads run on through a page.
    std::uint64_t cached_index;
    SniffImagePage* cached_page;
};

// An image that knows nothing yet; given_size 0 when none was given (else a power of two, at
// most sniff_image_largest).
std::unique_ptr<SniffImage> sniff_image_new(std::uint64_t given_size);

// What the data bytes of a frame tell, as they come.
// count bytes read at address and on (the address counter runs on modulo 2^32).
void sniff_image_read_run(SniffImage& image, std::uint32_t address, const unsigned char* bytes,
                          std::size_t count);
void sniff_image_read_sfdp(SniffImage& image, std::uint32_t address, unsigned char value);
void sniff_image_program_run(SniffImage& image, std::uint32_t address, const unsigned char* bytes,
                             std::size_t count);

// A frame has ended: the writes it makes, the size it tells, and the counts.
void sniff_image_frame(SniffImage& image, const SniffFlashOp& op);

// The size of the image and where it came from; 0 and sniff_size_none when nothing tells one.
std::uint64_t sniff_image_size(const SniffImage& image, SniffSizeSource* source);

// The byte at address (below the size), or -1 when it is not known.
int sniff_image_byte(const SniffImage& image, std::uint64_t address);

// The bytes of the page at address (a multiple of the page size): 0xFF where nothing is known.
const unsigned char* sniff_image_page_bytes(const SniffImage& image, std::uint64_t address);

// The first range of known bytes at from or after it and below end: [start, stop). Returns
// false when there is none.
bool sniff_image_next_range(const SniffImage& image, std::uint64_t from, std::uint64_t end,
                            std::uint64_t& start, std::uint64_t& stop);

// The flash size that the SFDP basic parameter table read so far tells; 0 when it tells none.
std::uint64_t sniff_image_sfdp_size(const SniffImage& image);

// Counts a frame that ended.
void sniff_tally_frame(SniffTally& tally, const SniffFlashOp& op);

// Bytes the image holds on the heap, for the bound the fuzzer checks.
std::size_t sniff_image_memory(const SniffImage& image);
