// The image as the frames change it: reads, programs and erases, and the fold once the part's
// size is known.

#include "sniff_image.hpp"

#include "sniff_image_pages.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace {

constexpr std::uint64_t pages_per_chunk = sniff_image_pages_per_chunk;
constexpr std::uint32_t program_page = 256;

const SniffImagePage& erased_page() {
    static const SniffImagePage page = [] {
        SniffImagePage erased{};
        std::memset(erased.data, 0xFF, sizeof erased.data);
        return erased;
    }();
    return page;
}

// A page an erase left all 0xFF, folded onto one that nothing is known of yet, stays a bit.
bool fold_erased(SniffImage& image, std::uint32_t to) {
    const std::uint64_t index = to / sniff_image_page_size;
    SniffImageChunk& chunk = sniff_chunk_for(image, index);
    const std::size_t slot = index % pages_per_chunk;
    if (chunk.pages[slot]) return false;
    if (!image.erased_everywhere) {
        chunk.erased.set(slot);
        sniff_chunk_use(chunk, slot, true);
    }
    return true;
}

// Everything learned above mask goes onto the address modulo the size.
void fold(SniffImage& image, std::uint32_t mask) {
    sniff_page_cache_forget(image);
    image.mask = mask;
    if (image.highest > std::uint64_t{mask} + 1) image.highest = std::uint64_t{mask} + 1;
    // Only pages touched before: the table grows as the fold goes, never beyond them.
    const std::uint64_t pages = image.chunks.size() * pages_per_chunk;
    for (std::uint64_t index = mask / sniff_image_page_size; index < pages; ++index) {
        SniffImageChunk* chunk = image.chunks[index / pages_per_chunk].get();
        const std::size_t slot =
            chunk ? sniff_chunk_next_used(*chunk, index % pages_per_chunk) : pages_per_chunk;
        if (slot == pages_per_chunk) {
            index += pages_per_chunk - 1 - index % pages_per_chunk;
            continue;
        }
        index += slot - index % pages_per_chunk;
        const std::uint64_t base = index * sniff_image_page_size;
        if (base <= mask) {
            // A size below a page: the page keeps what lies below the size.
            if (!chunk->pages[slot] && !chunk->erased[slot]) continue;
            SniffImagePage& page = sniff_page_for(image, static_cast<std::uint32_t>(base));
            unsigned char run[sniff_image_page_size];
            for (std::uint32_t offset = sniff_page_next(page, mask + 1, true);
                 offset < sniff_image_page_size; offset = sniff_page_next(page, offset, true)) {
                const std::uint32_t stop = sniff_page_next(page, offset, false);
                std::memcpy(run, page.data + offset, stop - offset);
                sniff_page_forget(page, offset, stop - offset);
                for (std::uint32_t from = offset; from < stop;) {
                    const std::uint32_t at = from & mask;
                    const std::uint32_t count = std::min(stop - from, mask + 1 - at);
                    sniff_page_merge(image, page, at, run + (from - offset), count,
                                     sniff_merge_fold);
                    from += count;
                }
                offset = stop;
            }
            continue;
        }
        const std::unique_ptr<SniffImagePage> page = std::move(chunk->pages[slot]);
        const bool erased = chunk->erased[slot];
        chunk->erased[slot] = false;
        sniff_chunk_use(*chunk, slot, false);
        if (!page && !erased) continue;
        sniff_page_cache_forget(image);
        const auto to = static_cast<std::uint32_t>(base) & mask;
        if (!page && fold_erased(image, to)) continue;
        const SniffImagePage& from = page ? *page : erased_page();
        // A run of known bytes goes over in pieces that end where the part's addresses wrap.
        for (std::uint32_t offset = sniff_page_next(from, 0, true); offset < sniff_image_page_size;
             offset = sniff_page_next(from, offset, true)) {
            const std::uint32_t at = (to + offset) & mask;
            const auto stop = static_cast<std::uint32_t>(std::min<std::uint64_t>(
                sniff_page_next(from, offset, false), offset + std::uint64_t{mask} - at + 1));
            sniff_page_merge(image, sniff_page_for(image, at), at, from.data + offset,
                             stop - offset, sniff_merge_fold);
            offset = stop;
        }
    }
    sniff_page_cache_forget(image);
}

// The size by the first source that tells one: given, READ ID, SFDP. A smaller size than the one
// addresses were taken by folds what lies above it; a larger one only widens the addresses.
void apply_size(SniffImage& image) {
    const std::uint64_t size = image.given_size != 0 ? image.given_size
                               : image.id_size != 0  ? image.id_size
                                                     : image.sfdp_size;
    if (size == 0) return;
    const auto mask = static_cast<std::uint32_t>(size - 1);
    if (mask < image.mask)
        fold(image, mask);
    else
        image.mask = mask;
}

void erase(SniffImage& image, std::uint32_t address, std::uint32_t unit) {
    // A part smaller than the unit is erased whole.
    if (unit - 1 > image.mask) unit = image.mask + 1;
    const std::uint32_t start = address & image.mask & ~(unit - 1);
    for (std::uint64_t at = start; at < std::uint64_t{start} + unit; at += sniff_image_page_size) {
        const std::uint64_t index = at / sniff_image_page_size;
        SniffImageChunk& chunk = sniff_chunk_for(image, index);
        chunk.pages[index % pages_per_chunk].reset();
        chunk.erased.set(index % pages_per_chunk);
        sniff_chunk_use(chunk, index % pages_per_chunk, true);
    }
    sniff_page_cache_forget(image);
    sniff_note_highest(image, std::uint64_t{start} + unit);
}

void chip_erase(SniffImage& image) {
    image.chunks.clear();
    image.erased_everywhere = true;
    sniff_page_cache_forget(image);
}

// The page buffer written at chip select's rise: where data was sent, old AND new.
void program(SniffImage& image, std::uint32_t address) {
    const std::uint32_t base = address & ~(program_page - 1);
    for (std::uint32_t word = 0; word < image.programmed.size(); ++word) {
        for (std::uint64_t bits = image.programmed[word]; bits != 0;) {
            const auto first = static_cast<std::uint32_t>(std::countr_zero(bits));
            const auto count = static_cast<std::uint32_t>(std::countr_one(bits >> first));
            bits &= count + first >= 64 ? 0 : ~std::uint64_t{0} << (first + count);
            const std::uint32_t offset = word * 64 + first;
            // Bytes in a row stay in a row but on a part smaller than they reach.
            const std::uint32_t each = image.mask < program_page - 1 ? 1 : count;
            for (std::uint32_t i = 0; i < count; i += each) {
                const std::uint32_t at = (base + offset + i) & image.mask;
                sniff_page_merge(image, sniff_page_for(image, at), at,
                                 image.program.data() + offset + i, each, sniff_merge_program);
                sniff_note_highest(image, std::uint64_t{at} + each);
            }
        }
    }
}

// A page programmed on four lines changed in ways the sniffer did not see.
void forget_program_page(SniffImage& image, std::uint32_t address) {
    const std::uint32_t base = address & ~(program_page - 1);
    // On a part of a program page or more the page stays whole; on a smaller one it wraps.
    const std::uint32_t each = image.mask < program_page - 1 ? 1 : program_page;
    for (std::uint32_t i = 0; i < program_page; i += each) {
        const std::uint32_t at = (base + i) & image.mask;
        std::uint64_t start = 0, stop = 0;
        if (!sniff_image_next_range(image, at, std::uint64_t{at} + each, start, stop)) continue;
        sniff_page_forget(sniff_page_for(image, at), at % sniff_image_page_size, each);
    }
}

void read_id(SniffImage& image, const SniffFlashOp& op) {
    const unsigned char code = op.miso[3];
    const bool sized = code >= 10 && code <= 32; // 1 KiB to the 4 GiB that 32 bits address
    if (!image.id_seen || (sized && image.id_size == 0)) {
        image.id_seen = true;
        for (int i = 0; i < 3; ++i) image.id[i] = op.miso[i + 1];
    }
    if (!sized || image.id_size != 0) return;
    image.id_size = std::uint64_t{1} << code;
    apply_size(image);
}

} // namespace

std::unique_ptr<SniffImage> sniff_image_new(std::uint64_t given_size) {
    std::unique_ptr<SniffImage> image(new SniffImage{});
    image->mask = ~std::uint32_t{0};
    image->given_size = given_size;
    sniff_page_cache_forget(*image);
    apply_size(*image);
    return image;
}

void sniff_image_read_run(SniffImage& image, std::uint32_t address, const unsigned char* bytes,
                          std::size_t count) {
    while (count > 0) {
        const std::uint32_t at = address & image.mask;
        // To the end of the page, of the part, or of the address counter, whichever comes first.
        const std::uint64_t size = std::min<std::uint64_t>(
            {sniff_image_page_size - at % sniff_image_page_size, count,
             std::uint64_t{image.mask} - at + 1, sniff_image_largest - address});
        sniff_page_merge(image, sniff_page_for(image, at), at, bytes,
                         static_cast<std::uint32_t>(size), sniff_merge_read);
        sniff_note_highest(image, std::uint64_t{at} + size);
        address += static_cast<std::uint32_t>(size);
        bytes += size;
        count -= static_cast<std::size_t>(size);
    }
}

void sniff_image_read_sfdp(SniffImage& image, std::uint32_t address, unsigned char value) {
    // The parameter tables sit near the start of the SFDP space; what lies beyond is not kept.
    if (address >= sniff_image_sfdp_kept) return;
    image.sfdp[address] = value;
    image.sfdp_known.set(address);
}

void sniff_image_program_run(SniffImage& image, std::uint32_t address, const unsigned char* bytes,
                             std::size_t count) {
    // Inside the page buffer the address wraps; a later byte for a place replaces the earlier.
    while (count > 0) {
        const std::uint32_t offset = address % program_page;
        const std::uint32_t size = std::min<std::uint32_t>(
            program_page - offset, static_cast<std::uint32_t>(std::min<std::size_t>(count, 256)));
        std::memcpy(image.program.data() + offset, bytes, size);
        for (std::uint32_t at = offset; at < offset + size;) {
            const std::uint32_t bits = std::min(offset + size - at, 64 - at % 64);
            image.programmed[at / 64] |=
                (bits >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1) << (at % 64);
            at += bits;
        }
        address += size;
        bytes += size;
        count -= size;
    }
}

void sniff_image_frame(SniffImage& image, const SniffFlashOp& op) {
    sniff_tally_frame(image.tally, op);
    const bool done = sniff_flash_carried_out(op);
    switch (op.command == nullptr ? sniff_effect_none : op.command->effect) {
    case sniff_effect_program:
        if (done) program(image, op.address);
        break;
    case sniff_effect_erase:
        if (done) erase(image, op.address, op.command->erase_size);
        break;
    case sniff_effect_chip_erase:
        if (done) chip_erase(image);
        break;
    case sniff_effect_quad_program:
        if (done) forget_program_page(image, op.address);
        break;
    case sniff_effect_read_id:
        if (op.pairs >= op.needed) read_id(image, op);
        break;
    case sniff_effect_read_sfdp:
        if (image.sfdp_size == 0) {
            image.sfdp_size = sniff_image_sfdp_size(image);
            apply_size(image);
        }
        break;
    default: break;
    }
    image.programmed = {};
}
