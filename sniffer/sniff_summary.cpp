// The account of a run at its end: what went by, what the image knows and where, and what could
// not go into it.

#include "sniff_summary.hpp"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>

namespace {

// printf onto the end of text.
void add(std::string& text, const char* format, ...) __attribute__((format(printf, 2, 3)));
void add(std::string& text, const char* format, ...) {
    char line[256];
    std::va_list arguments;
    va_start(arguments, format);
    const int size = std::vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    if (size > 0)
        text.append(line, static_cast<std::size_t>(size) < sizeof line
                              ? static_cast<std::size_t>(size)
                              : sizeof line - 1);
}

// "32 MiB", "4 KiB", "512 bytes": sizes here are powers of two.
std::string size_words(std::uint64_t size) {
    std::string text;
    if (size >= (std::uint64_t{1} << 30) && size % (std::uint64_t{1} << 30) == 0)
        add(text, "%" PRIu64 " GiB", size >> 30);
    else if (size >= (std::uint64_t{1} << 20) && size % (std::uint64_t{1} << 20) == 0)
        add(text, "%" PRIu64 " MiB", size >> 20);
    else if (size >= 1024 && size % 1024 == 0)
        add(text, "%" PRIu64 " KiB", size >> 10);
    else
        add(text, "%" PRIu64 " bytes", size);
    return text;
}

// "0.01%"; a share too small to show is "<0.01%", not nothing.
std::string share_words(std::uint64_t part, std::uint64_t whole) {
    const double percent = 100.0 * static_cast<double>(part) / static_cast<double>(whole);
    std::string text;
    if (part > 0 && percent < 0.005)
        text = "<0.01%";
    else
        add(text, "%.2f%%", percent);
    return text;
}

const char* source_words(SniffSizeSource source) {
    switch (source) {
    case sniff_size_given: return "as given";
    case sniff_size_read_id: return "from READ ID";
    case sniff_size_sfdp: return "from SFDP";
    case sniff_size_highest: return "from the highest address learned";
    case sniff_size_none: break;
    }
    return "";
}

void add_operations(std::string& text, const SniffTally& tally) {
    text += " operations:\n";
    for (std::size_t i = 0; i < tally.per_command.size(); ++i) {
        if (tally.per_command[i] == 0) continue;
        const SniffCommand& command = sniff_flash_commands()[i];
        add(text, "   %8" PRIu64 " %.*s (0x%02X)\n", tally.per_command[i],
            static_cast<int>(command.name.size()), command.name.data(), command.opcode);
    }
    if (tally.unknown > 0) add(text, "   %8" PRIu64 " other commands\n", tally.unknown);
    if (tally.empty > 0) add(text, "   %8" PRIu64 " empty frames\n", tally.empty);
}

// One character per 1/64 of the image: blank, nothing known; ".", part; "#", all.
void add_map(std::string& text, const SniffCoverage& coverage) {
    const std::size_t cells =
        coverage.cells.size() < coverage.size ? coverage.cells.size() : coverage.size;
    const std::uint64_t cell = coverage.size / cells;
    add(text, " coverage, %s a character (#: all known, .: part, blank: nothing):\n |",
        size_words(cell).c_str());
    for (std::size_t i = 0; i < cells; ++i)
        text += coverage.cells[i] == 0 ? ' ' : coverage.cells[i] == cell ? '#' : '.';
    text += "|\n";
}

} // namespace

SniffCoverage sniff_coverage(const SniffImage& image) {
    SniffCoverage coverage{};
    coverage.size = sniff_image_size(image, &coverage.source);
    if (coverage.size == 0) return coverage;
    const std::uint64_t cells =
        coverage.cells.size() < coverage.size ? coverage.cells.size() : coverage.size;
    const std::uint64_t cell = coverage.size / cells;
    std::uint64_t start = 0, stop = 0;
    for (std::uint64_t from = 0; sniff_image_next_range(image, from, coverage.size, start, stop);
         from = stop) {
        if (coverage.ranges < coverage.first.size())
            coverage.first[coverage.ranges] = {start, stop};
        ++coverage.ranges;
        coverage.known += stop - start;
        for (std::uint64_t at = start; at < stop;) {
            const std::uint64_t cell_end = (at / cell + 1) * cell;
            const std::uint64_t end = cell_end < stop ? cell_end : stop;
            coverage.cells[at / cell] += end - at;
            at = end;
        }
    }
    return coverage;
}

std::string sniff_summary_text(const SniffImage& image, const SniffCoverage& coverage,
                               const std::string& map_path) {
    const SniffTally& tally = image.tally;
    std::string text = " Summary\n";
    add(text, " %" PRIu64 " bytes, %" PRIu64 " frames\n", tally.bytes, tally.frames);
    add_operations(text, tally);
    if (image.id_seen)
        add(text, " READ ID: manufacturer=0x%02X type=0x%02X capacity=0x%02X\n", image.id[0],
            image.id[1], image.id[2]);
    if (coverage.size == 0) {
        text += " image size: none, no address was learned\n";
    } else {
        add(text, " image size: %" PRIu64 " bytes (%s), %s\n", coverage.size,
            size_words(coverage.size).c_str(), source_words(coverage.source));
        add(text, " known: %" PRIu64 " bytes (%s) in %" PRIu64 " ranges\n", coverage.known,
            share_words(coverage.known, coverage.size).c_str(), coverage.ranges);
        for (std::uint64_t i = 0; i < coverage.ranges && i < coverage.first.size(); ++i)
            add(text, "   0x%08" PRIX64 " to 0x%08" PRIX64 ", %" PRIu64 " bytes\n",
                coverage.first[i].start, coverage.first[i].stop - 1,
                coverage.first[i].stop - coverage.first[i].start);
        if (coverage.ranges > coverage.first.size())
            add(text, "   and %" PRIu64 " more%s%s\n", coverage.ranges - coverage.first.size(),
                map_path.empty() ? "" : " in ", map_path.c_str());
        add_map(text, coverage);
    }
    add(text, " disagreements: %" PRIu64 "\n", image.disagreements);
    for (std::uint64_t i = 0; i < image.disagreements && i < image.first_disagreements.size(); ++i)
        add(text, "   0x%08" PRIX32 " known 0x%02X read 0x%02X\n",
            image.first_disagreements[i].address, image.first_disagreements[i].known,
            image.first_disagreements[i].read);
    add(text, " not in the image: %" PRIu64 " quad, %" PRIu64 " undecodable\n", tally.quad,
        tally.undecodable);
    add(text,
        " cut short: %" PRIu64 " before their command was whole, %" PRIu64
        " by a byte outside the framing\n",
        tally.short_frames, tally.cut_frames);
    if (tally.ignored > 0)
        add(text, " ignored: %" PRIu64 " writes with more bytes than they take\n", tally.ignored);
    return text;
}
