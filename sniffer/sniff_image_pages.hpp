#pragma once

// How the image keeps its bytes, for the image's own files: pages made on first touch, and the
// ways a run of bytes goes into one.

#include "sniff_image.hpp"

// How bytes learned meet what a page knows already.
enum SniffMerge : unsigned char {
    sniff_merge_read,    // a read: the image keeps it; a known byte that differs disagrees
    sniff_merge_program, // a program: a known byte becomes old AND new
    sniff_merge_fold,    // from above the size: fills what is not known, else disagrees and goes
};

// The page that holds address, made when it is first touched: all 0xFF, known when an erase
// left it so.
SniffImagePage& sniff_page_for(SniffImage& image, std::uint32_t address);

// The chunk for a page index, made when first touched.
SniffImageChunk& sniff_chunk_for(SniffImage& image, std::uint64_t index);

// Marks a slot of the chunk as holding a page or an erase, or neither.
void sniff_chunk_use(SniffImageChunk& chunk, std::size_t slot, bool used);

// The first slot at or after slot that holds a page or an erase; the chunk's size when none does.
std::size_t sniff_chunk_next_used(const SniffImageChunk& chunk, std::size_t slot);

// The page the last byte went to is no longer a page to go to.
void sniff_page_cache_forget(SniffImage& image);

bool sniff_page_known(const SniffImagePage& page, std::uint32_t offset);

// The first offset at or after from whose byte is known (or not, for known false); the page size
// when there is none.
std::uint32_t sniff_page_next(const SniffImagePage& page, std::uint32_t from, bool known);

// count bytes at address (they stay in its page) into the page.
void sniff_page_merge(SniffImage& image, SniffImagePage& page, std::uint32_t address,
                      const unsigned char* bytes, std::uint32_t count, SniffMerge how);

// The count bytes from offset (they stay in the page) are not known any more.
void sniff_page_forget(SniffImagePage& page, std::uint32_t offset, std::uint32_t count = 1);

void sniff_note_highest(SniffImage& image, std::uint64_t end);
