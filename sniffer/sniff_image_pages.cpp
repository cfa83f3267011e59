// The image's pages: made on first touch, each with a bit a byte for what is known until it is
// known whole. Bytes go in a word of known bits at a time, since a run is mostly of bytes all new
// or all known.

#include "sniff_image_pages.hpp"

#include <bit>
#include <cstring>

namespace {

constexpr std::uint64_t no_page = ~std::uint64_t{0};
constexpr std::uint32_t known_words = sniff_image_page_size / 64;

std::unique_ptr<std::uint64_t[]> known_bits(bool all) {
    std::unique_ptr<std::uint64_t[]> bits(new std::uint64_t[known_words]);
    std::memset(bits.get(), all ? 0xFF : 0, known_words * sizeof(std::uint64_t));
    return bits;
}

void note_disagreement(SniffImage& image, std::uint32_t address, unsigned char known,
                       unsigned char read) {
    if (image.disagreements < image.first_disagreements.size())
        image.first_disagreements[image.disagreements] = {address, known, read};
    ++image.disagreements;
}

// One byte, whatever the page knows around it.
void merge_byte(SniffImage& image, SniffImagePage& page, std::uint32_t address, unsigned char value,
                SniffMerge how) {
    const std::uint32_t offset = address % sniff_image_page_size;
    unsigned char& byte = page.data[offset];
    if (!sniff_page_known(page, offset)) {
        byte = value;
        page.known[offset / 64] |= std::uint64_t{1} << (offset % 64);
        ++page.known_count;
    } else if (how == sniff_merge_program) {
        byte &= value;
    } else if (byte != value) {
        note_disagreement(image, address, byte, value);
        if (how == sniff_merge_read) byte = value;
    }
}

// The known bits of the bytes [offset, offset + count) of the page: all set (1), none (0), or
// some (-1).
int known_span(const SniffImagePage& page, std::uint32_t offset, std::uint32_t count) {
    if (!page.known) return 1;
    bool all = true, none = true;
    for (std::uint32_t at = offset; at < offset + count && (all || none);) {
        const std::uint32_t size = std::min(offset + count - at, 64 - at % 64);
        const std::uint64_t bits =
            size >= 64 ? ~std::uint64_t{0} : ((std::uint64_t{1} << size) - 1) << (at % 64);
        const std::uint64_t known = page.known[at / 64] & bits;
        all = all && known == bits;
        none = none && known == 0;
        at += size;
    }
    return all ? 1 : none ? 0 : -1;
}

void set_known_span(SniffImagePage& page, std::uint32_t offset, std::uint32_t count) {
    for (std::uint32_t at = offset; at < offset + count;) {
        const std::uint32_t size = std::min(offset + count - at, 64 - at % 64);
        const std::uint64_t bits =
            size >= 64 ? ~std::uint64_t{0} : ((std::uint64_t{1} << size) - 1) << (at % 64);
        page.known_count += static_cast<std::uint32_t>(std::popcount(bits & ~page.known[at / 64]));
        page.known[at / 64] |= bits;
        at += size;
    }
}

} // namespace

void sniff_chunk_use(SniffImageChunk& chunk, std::size_t slot, bool used) {
    const std::uint64_t bit = std::uint64_t{1} << (slot % 64);
    chunk.used[slot / 64] = used ? chunk.used[slot / 64] | bit : chunk.used[slot / 64] & ~bit;
}

std::size_t sniff_chunk_next_used(const SniffImageChunk& chunk, std::size_t slot) {
    for (; slot < sniff_image_pages_per_chunk; slot = (slot / 64 + 1) * 64) {
        const std::uint64_t bits = chunk.used[slot / 64] >> (slot % 64);
        if (bits != 0) return slot + static_cast<std::size_t>(std::countr_zero(bits));
    }
    return sniff_image_pages_per_chunk;
}

void sniff_page_cache_forget(SniffImage& image) {
    image.cached_index = no_page;
    image.cached_page = nullptr;
}

SniffImageChunk& sniff_chunk_for(SniffImage& image, std::uint64_t index) {
    // The table reaches as far as the highest chunk touched: walks over it end there.
    const std::uint64_t at = index / sniff_image_pages_per_chunk;
    if (at >= image.chunks.size()) image.chunks.resize(at + 1);
    std::unique_ptr<SniffImageChunk>& chunk = image.chunks[at];
    if (!chunk) chunk = std::make_unique<SniffImageChunk>();
    return *chunk;
}

SniffImagePage& sniff_page_for(SniffImage& image, std::uint32_t address) {
    const std::uint64_t index = address / sniff_image_page_size;
    if (index == image.cached_index) return *image.cached_page;
    SniffImageChunk& chunk = sniff_chunk_for(image, index);
    const std::size_t slot = index % sniff_image_pages_per_chunk;
    std::unique_ptr<SniffImagePage>& page = chunk.pages[slot];
    if (!page) {
        page.reset(new SniffImagePage);
        std::memset(page->data, 0xFF, sizeof page->data);
        const bool erased = image.erased_everywhere || chunk.erased[slot];
        page->known_count = erased ? sniff_image_page_size : 0;
        if (!erased) page->known = known_bits(false);
        chunk.erased[slot] = false;
        sniff_chunk_use(chunk, slot, true);
    }
    image.cached_index = index;
    image.cached_page = page.get();
    return *page;
}

bool sniff_page_known(const SniffImagePage& page, std::uint32_t offset) {
    return !page.known || ((page.known[offset / 64] >> (offset % 64)) & 1) != 0;
}

std::uint32_t sniff_page_next(const SniffImagePage& page, std::uint32_t from, bool known) {
    if (!page.known) return known ? from : sniff_image_page_size;
    for (std::uint32_t offset = from; offset < sniff_image_page_size;
         offset = (offset / 64 + 1) * 64) {
        const std::uint64_t word = page.known[offset / 64];
        const std::uint64_t wanted = (known ? word : ~word) >> (offset % 64);
        if (wanted != 0) return offset + static_cast<std::uint32_t>(std::countr_zero(wanted));
    }
    return sniff_image_page_size;
}

void sniff_page_merge(SniffImage& image, SniffImagePage& page, std::uint32_t address,
                      const unsigned char* bytes, std::uint32_t count, SniffMerge how) {
    const std::uint32_t offset = address % sniff_image_page_size;
    unsigned char* data = page.data + offset;
    const int known = known_span(page, offset, count);
    if (known == 0) {
        std::memcpy(data, bytes, count);
        set_known_span(page, offset, count);
    } else if (known == 1 && how == sniff_merge_program) {
        for (std::uint32_t i = 0; i < count; ++i) data[i] &= bytes[i];
    } else if (known == -1 || std::memcmp(data, bytes, count) != 0) {
        for (std::uint32_t i = 0; i < count; ++i)
            merge_byte(image, page, address + i, bytes[i], how);
    }
    // A page known whole needs no bits: a part read from end to end costs its size and no more.
    if (page.known && page.known_count == sniff_image_page_size) page.known.reset();
}

void sniff_page_forget(SniffImagePage& page, std::uint32_t offset, std::uint32_t count) {
    if (!page.known) page.known = known_bits(true);
    for (std::uint32_t at = offset; at < offset + count;) {
        const std::uint32_t size = std::min(offset + count - at, 64 - at % 64);
        const std::uint64_t bits =
            size >= 64 ? ~std::uint64_t{0} : ((std::uint64_t{1} << size) - 1) << (at % 64);
        page.known_count -= static_cast<std::uint32_t>(std::popcount(bits & page.known[at / 64]));
        page.known[at / 64] &= ~bits;
        at += size;
    }
    std::memset(page.data + offset, 0xFF, count);
}

void sniff_note_highest(SniffImage& image, std::uint64_t end) {
    if (end > image.highest) image.highest = end;
}
