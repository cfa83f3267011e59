// The image as the frames change it: reads, programs and erases, and the fold once the part's
// size is known.

#include "sniff_image.hpp"

#include <cstring>

namespace {

constexpr std::uint64_t pages_per_chunk = sniff_image_pages_per_chunk;
constexpr std::uint64_t chunk_count = sniff_image_largest / sniff_image_page_size / pages_per_chunk;
constexpr std::uint64_t no_page = ~std::uint64_t{0};
constexpr std::uint32_t known_words = sniff_image_page_size / 64;
constexpr std::uint32_t program_page = 256;

void forget_cache(SniffImage& image) {
    image.cached_index = no_page;
    image.cached_page = nullptr;
}

SniffImageChunk& chunk_for(SniffImage& image, std::uint64_t index) {
    if (image.chunks.empty()) image.chunks.resize(chunk_count);
    std::unique_ptr<SniffImageChunk>& chunk = image.chunks[index / pages_per_chunk];
    if (!chunk) chunk = std::make_unique<SniffImageChunk>();
    return *chunk;
}

std::unique_ptr<std::uint64_t[]> known_bits(bool all) {
    std::unique_ptr<std::uint64_t[]> bits(new std::uint64_t[known_words]);
    std::memset(bits.get(), all ? 0xFF : 0, known_words * sizeof(std::uint64_t));
    return bits;
}

// The page that holds address, made when it is first touched: all 0xFF, known when an erase
// left it so.
SniffImagePage& page_for(SniffImage& image, std::uint32_t address) {
    const std::uint64_t index = address / sniff_image_page_size;
    if (index == image.cached_index) return *image.cached_page;
    SniffImageChunk& chunk = chunk_for(image, index);
    const std::size_t slot = index % pages_per_chunk;
    std::unique_ptr<SniffImagePage>& page = chunk.pages[slot];
    if (!page) {
        page.reset(new SniffImagePage);
        std::memset(page->data, 0xFF, sizeof page->data);
        const bool erased = image.erased_everywhere || chunk.erased[slot];
        page->known_count = erased ? sniff_image_page_size : 0;
        if (!erased) page->known = known_bits(false);
        chunk.erased[slot] = false;
    }
    image.cached_index = index;
    image.cached_page = page.get();
    return *page;
}

bool is_known(const SniffImagePage& page, std::uint32_t offset) {
    return !page.known || ((page.known[offset / 64] >> (offset % 64)) & 1) != 0;
}

void set_known(SniffImagePage& page, std::uint32_t offset) {
    if (!page.known) return;
    std::uint64_t& word = page.known[offset / 64];
    const std::uint64_t bit = std::uint64_t{1} << (offset % 64);
    if ((word & bit) != 0) return;
    word |= bit;
    // A page known whole needs no bits: a part read from end to end costs its size and no more.
    if (++page.known_count == sniff_image_page_size) page.known.reset();
}

void note_highest(SniffImage& image, std::uint64_t end) {
    if (end > image.highest) image.highest = end;
}

void note_disagreement(SniffImage& image, std::uint32_t address, unsigned char known,
                       unsigned char read) {
    if (image.disagreements < image.first_disagreements.size())
        image.first_disagreements[image.disagreements] = {address, known, read};
    ++image.disagreements;
}

// A byte learned above the size, put where the chip takes it: it fills what is not known there.
void fold_byte(SniffImage& image, std::uint32_t address, unsigned char value) {
    SniffImagePage& page = page_for(image, address);
    const std::uint32_t offset = address % sniff_image_page_size;
    if (!is_known(page, offset)) {
        page.data[offset] = value;
        set_known(page, offset);
    } else if (page.data[offset] != value) {
        note_disagreement(image, address, page.data[offset], value);
    }
}

void forget_byte(SniffImagePage& page, std::uint32_t offset) {
    if (!page.known) page.known = known_bits(true);
    std::uint64_t& word = page.known[offset / 64];
    const std::uint64_t bit = std::uint64_t{1} << (offset % 64);
    if ((word & bit) != 0) --page.known_count;
    word &= ~bit;
    page.data[offset] = 0xFF;
}

// Everything learned above mask goes onto the address modulo the size.
void fold(SniffImage& image, std::uint32_t mask) {
    forget_cache(image);
    image.mask = mask;
    if (image.highest > std::uint64_t{mask} + 1) image.highest = std::uint64_t{mask} + 1;
    if (image.chunks.empty()) return;
    for (std::uint64_t index = mask / sniff_image_page_size; index < chunk_count * pages_per_chunk;
         ++index) {
        SniffImageChunk* chunk = image.chunks[index / pages_per_chunk].get();
        if (chunk == nullptr) {
            index += pages_per_chunk - 1 - index % pages_per_chunk;
            continue;
        }
        const std::size_t slot = index % pages_per_chunk;
        const std::uint64_t base = index * sniff_image_page_size;
        if (base <= mask) {
            // A size below a page: the page keeps what lies below the size.
            if (!chunk->pages[slot] && !chunk->erased[slot]) continue;
            SniffImagePage& page = page_for(image, static_cast<std::uint32_t>(base));
            for (std::uint32_t offset = mask + 1; offset < sniff_image_page_size; ++offset) {
                if (!is_known(page, offset)) continue;
                const unsigned char value = page.data[offset];
                forget_byte(page, offset);
                fold_byte(image, offset & mask, value);
            }
            continue;
        }
        const std::unique_ptr<SniffImagePage> page = std::move(chunk->pages[slot]);
        const bool erased = chunk->erased[slot];
        chunk->erased[slot] = false;
        if (!page && !erased) continue;
        forget_cache(image);
        for (std::uint32_t offset = 0; offset < sniff_image_page_size; ++offset) {
            if (page && !is_known(*page, offset)) continue;
            fold_byte(image, static_cast<std::uint32_t>(base + offset) & mask,
                      page ? page->data[offset] : 0xFF);
        }
    }
    forget_cache(image);
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

void erase_page(SniffImage& image, std::uint32_t address) {
    const std::uint64_t index = address / sniff_image_page_size;
    SniffImageChunk& chunk = chunk_for(image, index);
    chunk.pages[index % pages_per_chunk].reset();
    chunk.erased.set(index % pages_per_chunk);
    forget_cache(image);
}

void erase(SniffImage& image, std::uint32_t address, std::uint32_t unit) {
    // A part smaller than the unit is erased whole.
    if (unit - 1 > image.mask) unit = image.mask + 1;
    const std::uint32_t start = address & image.mask & ~(unit - 1);
    for (std::uint64_t at = start; at < std::uint64_t{start} + unit; at += sniff_image_page_size)
        erase_page(image, static_cast<std::uint32_t>(at));
    note_highest(image, std::uint64_t{start} + unit);
}

void chip_erase(SniffImage& image) {
    image.chunks.clear();
    image.erased_everywhere = true;
    forget_cache(image);
}

// The page buffer written at chip select's rise: where the data was sent, old AND new.
void program(SniffImage& image, std::uint32_t address) {
    const std::uint32_t base = address & ~(program_page - 1);
    for (std::uint32_t i = 0; i < program_page; ++i) {
        if (!image.programmed[i]) continue;
        const std::uint32_t at = (base + i) & image.mask;
        SniffImagePage& page = page_for(image, at);
        const std::uint32_t offset = at % sniff_image_page_size;
        const unsigned char value = image.program[i];
        if (is_known(page, offset)) {
            page.data[offset] &= value;
        } else {
            page.data[offset] = value;
            set_known(page, offset);
        }
        note_highest(image, std::uint64_t{at} + 1);
    }
}

// A page programmed on four lines changed in ways the sniffer did not see.
void forget_program_page(SniffImage& image, std::uint32_t address) {
    const std::uint32_t base = address & ~(program_page - 1);
    for (std::uint32_t i = 0; i < program_page; ++i) {
        const std::uint32_t at = (base + i) & image.mask;
        if (sniff_image_byte(image, at) < 0) continue;
        forget_byte(page_for(image, at), at % sniff_image_page_size);
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
    forget_cache(*image);
    apply_size(*image);
    return image;
}

void sniff_image_read(SniffImage& image, std::uint32_t address, unsigned char value) {
    address &= image.mask;
    SniffImagePage& page = page_for(image, address);
    const std::uint32_t offset = address % sniff_image_page_size;
    if (!is_known(page, offset)) {
        page.data[offset] = value;
        set_known(page, offset);
    } else if (page.data[offset] != value) {
        // The image keeps the latest read.
        note_disagreement(image, address, page.data[offset], value);
        page.data[offset] = value;
    }
    note_highest(image, std::uint64_t{address} + 1);
}

void sniff_image_read_sfdp(SniffImage& image, std::uint32_t address, unsigned char value) {
    // The parameter tables sit near the start of the SFDP space; what lies beyond is not kept.
    if (address >= sniff_image_sfdp_kept) return;
    image.sfdp[address] = value;
    image.sfdp_known.set(address);
}

void sniff_image_program_byte(SniffImage& image, std::uint32_t address, unsigned char value) {
    image.program[address % program_page] = value;
    image.programmed.set(address % program_page);
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
    image.programmed.reset();
}
