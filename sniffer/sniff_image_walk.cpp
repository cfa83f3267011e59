// What the image knows, read back: its size, its bytes and the ranges of them that are known;
// and the counts of the frames.

#include "sniff_image.hpp"

#include "sniff_image_pages.hpp"

#include <bit>

namespace {

constexpr std::uint64_t pages_per_chunk = sniff_image_pages_per_chunk;
constexpr std::uint32_t words_per_page = sniff_image_page_size / 64;

// The SFDP signature, and the ID of the basic parameter table in the first parameter header.
constexpr unsigned char sfdp_signature[] = {0x53, 0x46, 0x44, 0x50};
constexpr unsigned char basic_table_id = 0x00;

const SniffImageChunk* chunk_at(const SniffImage& image, std::uint64_t index) {
    const std::uint64_t at = index / pages_per_chunk;
    return at < image.chunks.size() ? image.chunks[at].get() : nullptr;
}

bool sfdp_known(const SniffImage& image, std::size_t from, std::size_t count) {
    if (from + count > sniff_image_sfdp_kept) return false;
    for (std::size_t i = from; i < from + count; ++i)
        if (!image.sfdp_known[i]) return false;
    return true;
}

std::uint32_t sfdp_little_endian(const SniffImage& image, std::size_t from, int count) {
    std::uint32_t value = 0;
    for (int i = count - 1; i >= 0; --i) value = value << 8 | image.sfdp[from + std::size_t(i)];
    return value;
}

// The first address at or after `at` and below end whose byte is known (or unknown, for known
// false); end when there is none.
std::uint64_t next_with(const SniffImage& image, std::uint64_t at, std::uint64_t end, bool known) {
    while (at < end) {
        const std::uint64_t index = at / sniff_image_page_size;
        const std::uint64_t page_end = (index + 1) * sniff_image_page_size;
        const SniffImageChunk* chunk = chunk_at(image, index);
        if (chunk == nullptr) {
            if (image.erased_everywhere == known) return at;
            // Beyond the table every page is alike.
            if (index / pages_per_chunk >= image.chunks.size()) return end;
            at = (index / pages_per_chunk + 1) * pages_per_chunk * sniff_image_page_size;
            continue;
        }
        const std::size_t slot = index % pages_per_chunk;
        const std::size_t used = sniff_chunk_next_used(*chunk, slot);
        if (used != slot) {
            // Pages nothing touched are as the whole part is.
            if (image.erased_everywhere == known) return at;
            at = (index - slot + used) * sniff_image_page_size;
            continue;
        }
        const SniffImagePage* page = chunk->pages[slot].get();
        const bool whole =
            page != nullptr ? !page->known : image.erased_everywhere || chunk->erased[slot];
        if (page == nullptr || !page->known) {
            if (whole == known) return at;
            at = page_end;
            continue;
        }
        const std::uint32_t offset =
            sniff_page_next(*page, static_cast<std::uint32_t>(at % sniff_image_page_size), known);
        if (offset < sniff_image_page_size) return index * sniff_image_page_size + offset;
        at = page_end;
    }
    return end;
}

} // namespace

std::uint64_t sniff_image_sfdp_size(const SniffImage& image) {
    if (!sfdp_known(image, 0, 16)) return 0;
    for (std::size_t i = 0; i < sizeof sfdp_signature; ++i)
        if (image.sfdp[i] != sfdp_signature[i]) return 0;
    if (image.sfdp[8] != basic_table_id) return 0;
    // The density is the table's second double word, in bits.
    const std::size_t table = sfdp_little_endian(image, 12, 3);
    if (!sfdp_known(image, table + 4, 4)) return 0;
    const std::uint32_t density = sfdp_little_endian(image, table + 4, 4);
    std::uint64_t bits = std::uint64_t{density} + 1;
    if ((density & 0x80000000u) != 0) {
        const std::uint32_t power = density & 0x7FFFFFFFu;
        if (power > 35) return 0;
        bits = std::uint64_t{1} << power;
    }
    const std::uint64_t bytes = bits / 8;
    const bool fits = bytes >= 1024 && bytes <= sniff_image_largest && std::has_single_bit(bytes);
    return fits ? bytes : 0;
}

std::uint64_t sniff_image_size(const SniffImage& image, SniffSizeSource* source) {
    const struct {
        std::uint64_t size;
        SniffSizeSource source;
    } told[] = {{image.given_size, sniff_size_given},
                {image.id_size, sniff_size_read_id},
                {image.sfdp_size, sniff_size_sfdp},
                {image.highest == 0 ? 0 : std::bit_ceil(image.highest), sniff_size_highest}};
    for (const auto& by : told) {
        if (by.size == 0) continue;
        if (source != nullptr) *source = by.source;
        return by.size;
    }
    if (source != nullptr) *source = sniff_size_none;
    return 0;
}

int sniff_image_byte(const SniffImage& image, std::uint64_t address) {
    if (address >= sniff_image_largest) return -1;
    const std::uint64_t index = address / sniff_image_page_size;
    const SniffImageChunk* chunk = chunk_at(image, index);
    if (chunk == nullptr) return image.erased_everywhere ? 0xFF : -1;
    const std::size_t slot = index % pages_per_chunk;
    const SniffImagePage* page = chunk->pages[slot].get();
    if (page == nullptr) return image.erased_everywhere || chunk->erased[slot] ? 0xFF : -1;
    const std::uint32_t offset = address % sniff_image_page_size;
    const bool known = !page->known || ((page->known[offset / 64] >> (offset % 64)) & 1) != 0;
    return known ? page->data[offset] : -1;
}

const unsigned char* sniff_image_page_bytes(const SniffImage& image, std::uint64_t address) {
    static const SniffImagePage blank = [] {
        SniffImagePage page{};
        for (unsigned char& b : page.data) b = 0xFF;
        return page;
    }();
    const std::uint64_t index = address / sniff_image_page_size;
    const SniffImageChunk* chunk = chunk_at(image, index);
    const SniffImagePage* page =
        chunk != nullptr ? chunk->pages[index % pages_per_chunk].get() : nullptr;
    return page != nullptr ? page->data : blank.data;
}

bool sniff_image_next_range(const SniffImage& image, std::uint64_t from, std::uint64_t end,
                            std::uint64_t& start, std::uint64_t& stop) {
    if (end > sniff_image_largest) end = sniff_image_largest;
    start = next_with(image, from, end, true);
    if (start >= end) return false;
    stop = next_with(image, start, end, false);
    return true;
}

std::size_t sniff_image_memory(const SniffImage& image) {
    std::size_t bytes = image.chunks.capacity() * sizeof image.chunks[0];
    for (const auto& chunk : image.chunks) {
        if (!chunk) continue;
        bytes += sizeof *chunk;
        for (const auto& page : chunk->pages)
            if (page)
                bytes += sizeof *page + (page->known ? words_per_page * sizeof(std::uint64_t) : 0);
    }
    return bytes;
}

void sniff_tally_frame(SniffTally& tally, const SniffFlashOp& op) {
    ++tally.frames;
    tally.pairs += op.pairs;
    if (op.cut) ++tally.cut_frames;
    if (op.pairs == 0) {
        ++tally.empty;
        return;
    }
    if (op.command == nullptr) {
        ++tally.unknown;
        return;
    }
    const SniffCommand& command = *op.command;
    ++tally.per_command[sniff_flash_command_index(command)];
    if (command.lines == sniff_lines_quad)
        ++tally.quad;
    else if (command.shape == sniff_shape_undecodable || op.undecodable)
        ++tally.undecodable;
    const bool alone = command.shape == sniff_shape_release && op.pairs == 1;
    if (!op.cut && op.pairs < op.needed && !alone) ++tally.short_frames;
    if (!op.cut && sniff_flash_exact(command) && op.pairs > op.needed) ++tally.ignored;
}
