#pragma once

// The summary that --image and --summary give at the end of a run.

#include "sniff_image.hpp"

#include <array>
#include <cstdint>
#include <string>

struct SniffRange {
    std::uint64_t start;
    std::uint64_t stop; // the first address after the range
};

// What the image knows, below its size: how much, in how many ranges (the first of them), and
// per 1/64 of the image (per byte for images smaller than 64 bytes) how many bytes.
struct SniffCoverage {
    std::uint64_t size;
    SniffSizeSource source;
    std::uint64_t known;
    std::uint64_t ranges;
    std::array<SniffRange, 8> first;
    std::array<std::uint64_t, 64> cells;
};

SniffCoverage sniff_coverage(const SniffImage& image);

// The summary's lines, each beginning with a blank. map_path names the file that lists every
// range ("" when there is none).
std::string sniff_summary_text(const SniffImage& image, const SniffCoverage& coverage,
                               const std::string& map_path);
