// --image and --summary at the run's level: the file is checked before the port is touched; at
// the end the image and its map are put in place whole, and the summary follows.

#include "sniff_summary.hpp"
#include "sniffer.hpp"

#include "files.hpp"
#include "output.hpp"
#include "serial.hpp"

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <filesystem>
#include <functional>
#include <vector>
#include <unistd.h>

namespace {

// Beside the file, so that the rename stays on one file system; named by the process, so that
// two runs never write into one.
std::string part_path(const std::string& path) {
    return path + ".part" + std::to_string(getpid());
}

// Fills a temporary file and puts it in the place of path once it is whole and on the disk: path
// holds the old file or the new one, never half of one. Returns 0, or -1 after saying why.
int write_whole(const std::string& path, const std::function<bool(std::FILE*)>& fill) {
    const std::string part = part_path(path);
    std::FILE* file = std::fopen(part.c_str(), "wb");
    int error = errno;
    // Pages go out in large writes, not one call each.
    std::vector<char> buffer(256 * 1024);
    bool written = file != nullptr &&
                   std::setvbuf(file, buffer.data(), _IOFBF, buffer.size()) == 0 && fill(file) &&
                   files_sync(file) == 0;
    if (!written) error = errno;
    if (file != nullptr && std::fclose(file) != 0 && written) {
        written = false;
        error = errno;
    }
    if (written && files_replace(part, path) == 0) return 0;
    if (written) error = errno;
    if (file != nullptr) std::remove(part.c_str());
    output_error(" Error writing image file %s: %s\n", path.c_str(), std::strerror(error));
    return -1;
}

bool write_image(std::FILE* file, const SniffImage& image, std::uint64_t size) {
    for (std::uint64_t at = 0; at < size; at += sniff_image_page_size) {
        const std::size_t count = size - at < sniff_image_page_size
                                      ? static_cast<std::size_t>(size - at)
                                      : sniff_image_page_size;
        if (std::fwrite(sniff_image_page_bytes(image, at), 1, count, file) != count) return false;
    }
    return true;
}

// One line per range of known bytes: its start and the first address after it, in hex.
bool write_map(std::FILE* file, const SniffImage& image, std::uint64_t size) {
    std::uint64_t start = 0, stop = 0;
    for (std::uint64_t from = 0; sniff_image_next_range(image, from, size, start, stop);
         from = stop)
        if (std::fprintf(file, "0x%08" PRIX64 " 0x%08" PRIX64 "\n", start, stop) < 0) return false;
    return true;
}

} // namespace

std::unique_ptr<SniffImage> sniff_image_for(const SniffOptions& options) {
    return options.summary ? sniff_image_new(options.image_size) : nullptr;
}

std::string sniff_image_map_path(const std::string& path) {
    return path + ".map";
}

int sniff_image_check(const std::string& path, const std::string& device) {
    // Bytes meant for a file would go to hardware through a device, and through the port back
    // into the adapter.
    const std::string port_path = device.empty() ? "" : serial_device_path(device.c_str());
    for (const std::string& name : {path, sniff_image_map_path(path)}) {
        const FilesRefusal refusal = files_check_output(name.c_str(), port_path.c_str());
        if (refusal == files_usable) continue;
        output_error(" Error opening image file %s: %s\n", name.c_str(),
                     files_refusal_text(refusal, 0).c_str());
        return -1;
    }
    std::error_code unused;
    int error = std::filesystem::is_directory(path, unused) ? EISDIR : 0;
    if (error == 0) {
        const std::string part = part_path(path);
        std::FILE* file = std::fopen(part.c_str(), "wb");
        if (file != nullptr) {
            std::fclose(file);
            std::remove(part.c_str());
            return 0;
        }
        error = errno;
    }
    output_error(" Error opening image file %s: %s\n", path.c_str(), std::strerror(error));
    return -1;
}

int sniff_image_finish(const SniffOptions& options, const SniffImage& image) {
    const SniffCoverage coverage = sniff_coverage(image);
    int status = 0;
    std::string map;
    if (!options.image.empty()) {
        map = sniff_image_map_path(options.image);
        const auto image_bytes = [&](std::FILE* file) {
            return write_image(file, image, coverage.size);
        };
        const auto ranges = [&](std::FILE* file) { return write_map(file, image, coverage.size); };
        if (write_whole(options.image, image_bytes) != 0 || write_whole(map, ranges) != 0)
            status = -1;
    }
    output_error("%s", sniff_summary_text(image, coverage, map).c_str());
    return status;
}
