// The sniffed byte's way from the port to the screen, and to a capture file: wait, read every
// byte waiting, keep it, decode it, write its text. A saved capture takes the same way from its
// file.

#include "sniff_image.hpp"
#include "sniffer.hpp"

#include "files.hpp"
#include "keys.hpp"
#include "output.hpp"
#include "serial.hpp"
#include "session.hpp"
#include "timing.hpp"

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

// What a busy line can have waiting at once: the capture takes it in one read.
constexpr int chunk_size = 64 * 1024;
// The capture loop sleeps until bytes or a key arrive, so a key is noticed at once even while
// the adapter is silent, and a busy line is read without a pause between reads.
constexpr int wait_without_limit = -1;

struct SniffStream {
    SniffDecoder decoder;
    std::vector<char> text;
    std::FILE* file;         // the capture file, or null
    const std::string* path; // its name, for what is said when it fails
};

SniffStream stream_new(const SniffOptions& options, std::FILE* file, const std::string& path,
                       SniffImage* image) {
    SniffStream stream{
        sniff_decoder_new(options.raw, options.flash, image, {options.timestamps, options.jsonl}),
        {},
        file,
        &path};
    if (!options.jsonl) stream.text.resize(sniff_text_room(stream.decoder, chunk_size));
    return stream;
}

// The text (or JSON lines) to standard output, in one write. Returns 0, or -1 after saying why.
int write_out(std::string_view out) {
    if (out.empty() || output_write(out.data(), out.size()) == 0) return 0;
    // A signal taken as a key stopped the output: the wait that follows finds the key.
    if (errno == EINTR) return 0;
    // A reader gone away with the image still to write: the process dies of SIGPIPE once it is
    // out, and says no more than without it.
    if (!session_ending_by_signal()) output_report_failure(errno);
    return -1;
}

// The capture file first, so that it holds at least every byte the screen shows, whatever ends
// the run; then the text, in one write. Returns 0, or -1 after saying what could not be written.
int pass_on(SniffStream& stream, const unsigned char* bytes, int count) {
    if (stream.file != nullptr && std::fwrite(bytes, 1, static_cast<std::size_t>(count),
                                              stream.file) != static_cast<std::size_t>(count)) {
        output_error(" Error writing capture file %s: %s\n", stream.path->c_str(),
                     std::strerror(errno));
        return -1;
    }
    if (stream.decoder.json.on) return write_out(sniff_decode_json(stream.decoder, bytes, count));
    return write_out(
        {stream.text.data(), sniff_decode_text(stream.decoder, bytes, count, stream.text.data())});
}

// The capture file's bytes through the decoder to its end. Returns 0, or -1 after saying why.
int replay(const SniffOptions& options, std::FILE* file, SniffImage* image) {
    std::vector<unsigned char> area(chunk_size);
    SniffStream stream = stream_new(options, nullptr, options.read, image);
    for (;;) {
        // Each read's bytes are shown as they come, so that a capture that grows can be followed.
        const long count = files_read(file, area.data(), area.size());
        if (count > 0 && pass_on(stream, area.data(), static_cast<int>(count)) != 0) return -1;
        // A hang-up or a reader gone away ends the reading where it is.
        if (session_ending_by_signal()) return write_out(sniff_decode_end(stream.decoder));
        if (count > 0) continue;
        if (count < 0) {
            output_error(" Error reading capture file %s: %s\n", options.read.c_str(),
                         std::strerror(errno));
            return -1;
        }
        return write_out(sniff_decode_end(stream.decoder));
    }
}

} // namespace

int sniff_capture(PortHandle port, const SniffOptions& options, std::FILE* capture_file,
                  SniffImage* image, TimingClock::time_point began) {
    std::vector<unsigned char> area(chunk_size);
    SniffStream stream = stream_new(options, capture_file, options.write, image);
    // What the file held stays until now: a run that failed before sniffing leaves it alone. A
    // pipe has nothing to empty.
    if (capture_file != nullptr && files_regular(capture_file) && files_cut(capture_file, 0) != 0) {
        output_error(" Error writing capture file %s: %s\n", options.write.c_str(),
                     std::strerror(errno));
        return -1;
    }
    session_signals_as_key(true);
    // The image is written once the capture is over, also when a hang-up or a reader that went
    // away ends it.
    if (image != nullptr) session_defer_ending_signals(true);
    // The wait takes a key first when a key and bytes are waiting together.
    for (;;) {
        const int ready = keys_wait_key_or_port(port, wait_without_limit);
        if (ready == 1) return write_out(sniff_decode_end(stream.decoder));
        if (ready != 0) continue;
        const int count = serial_read_available(port, area.data(), chunk_size);
        // The bytes' time is when their read returned, whenever their text goes out.
        sniff_decoder_time(stream.decoder, std::chrono::duration_cast<std::chrono::microseconds>(
                                               TimingClock::now() - began)
                                               .count());
        if (count > 0) {
            if (pass_on(stream, area.data(), count) != 0) return -1;
        } else if (serial_lost(port)) {
            write_out(sniff_decode_end(stream.decoder));
            // A time-out is silent; a device that has gone away will never send again.
            output_error("\n Serial port disconnected\n");
            output_error(" Exiting...\n");
            return -1;
        }
    }
}

std::FILE* sniff_create_capture_file(const std::string& path, const std::string& device) {
    FilesRefusal refusal = files_usable;
    std::FILE* file = files_open_output(path.c_str(), serial_device_path(device.c_str()), refusal);
    if (file != nullptr) return file;
    output_error(" Error opening capture file %s: %s\n", path.c_str(),
                 files_refusal_text(refusal, errno).c_str());
    return nullptr;
}

int sniff_replay(const SniffOptions& options) {
    if (!options.image.empty() && sniff_image_check(options.image, "") != 0) return -1;
    const bool from_input = options.read == "-";
    if (from_input) files_binary_input();
    std::FILE* file = from_input ? stdin : std::fopen(options.read.c_str(), "rb");
    if (file == nullptr) {
        output_error(" Error opening capture file %s: %s\n", options.read.c_str(),
                     std::strerror(errno));
        return -1;
    }
    const std::unique_ptr<SniffImage> image = sniff_image_for(options);
    // Whatever ends the reading, the image is written before the process goes.
    if (image != nullptr) session_defer_ending_signals(true);
    int status = replay(options, file, image.get());
    if (image != nullptr && sniff_image_finish(options, *image) != 0) status = -1;
    session_end_by_deferred_signal();
    return status;
}
