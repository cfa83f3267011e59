// The production record on the disk: one CSV line per tested board, each on the disk before the
// operator is asked for anything again, so that a power cut loses no board; and never a line
// glued onto what is left of another.

#include "selftest.hpp"

#include "files.hpp"
#include "output.hpp"

#include <cerrno>
#include <cstring>
#include <ctime>

namespace {

// The local time in ISO 8601 with its offset from UTC, e.g. "2026-12-08T10:56:18+01:00".
std::string local_time_now() {
    const std::time_t now = std::time(nullptr);
    std::tm local = *std::localtime(&now);
    std::tm utc = *std::gmtime(&now);
    // The UTC fields read as local time are off from now by the offset (the same DST rule
    // applied to both).
    utc.tm_isdst = local.tm_isdst;
    std::tm local_copy = local;
    const long offset =
        static_cast<long>(std::difftime(std::mktime(&local_copy), std::mktime(&utc)));
    char text[40];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    const long minutes = (offset < 0 ? -offset : offset) / 60;
    std::snprintf(text + length, sizeof text - length, "%c%02ld:%02ld", offset < 0 ? '-' : '+',
                  minutes / 60, minutes % 60);
    return text;
}

int log_failed(const SelfTestLog& log, const char* doing) {
    output_error(" Error %s log %s: %s\n", doing, log.path.c_str(), std::strerror(errno));
    return -1;
}

// Appends text whole and pushes it through to the disk, or the write failed: then whatever part
// of it reached the file is cut off again, so that the file still ends where a line ends. A pipe
// or a device takes the text as it comes: there is nothing to sync or cut.
int put(const SelfTestLog& log, const std::string& text) {
    long size = -1;
    if (!log.plain && std::fseek(log.file, 0, SEEK_END) == 0) size = std::ftell(log.file);
    if (std::fwrite(text.data(), 1, text.size(), log.file) == text.size() &&
        (log.plain ? std::fflush(log.file) : files_sync(log.file)) == 0)
        return 0;
    const int error = errno;
    if (size >= 0 && files_cut(log.file, size) == 0) files_sync(log.file);
    errno = error;
    return log_failed(log, "writing");
}

// The record as it stands, read through a handle of its own: the appending one cannot read.
bool read_record(const std::string& path, std::string& text) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    char area[65536];
    for (std::size_t got; (got = std::fread(area, 1, sizeof area, file)) > 0;)
        text.append(area, got);
    const bool read = std::ferror(file) == 0;
    std::fclose(file);
    return read;
}

} // namespace

int selftest_log_open(SelfTestLog& log, const std::string& path) {
    log.path = path;
    log.file = std::fopen(path.c_str(), "ab");
    if (log.file == nullptr) return log_failed(log, "opening");
    // Unbuffered: a line goes out in one write, and nothing of a failed one is left in a buffer
    // to be written after the file was cut back.
    std::setvbuf(log.file, nullptr, _IONBF, 0);
    log.plain = !files_regular(log.file);
    std::string text;
    if (!log.plain && !read_record(path, text)) return log_failed(log, "reading");
    if (text.empty()) return put(log, std::string(selftest_record_header) + "\n");

    std::string header = text.substr(0, text.find('\n'));
    if (!header.empty() && header.back() == '\r') header.pop_back();
    if (header == selftest_record_old_header) {
        log.old_columns = true;
        output_error(" Log %s has the five columns of older versions: its new lines keep to "
                     "them, without serial, station, operator and outcome\n",
                     path.c_str());
    } else if (header == selftest_record_header) {
        selftest_record_history(log, text);
    } else {
        output_error(" Error opening log %s: its first line is not the header of a record of "
                     "hvp-selftest\n",
                     path.c_str());
        return -1;
    }
    if (text.back() != '\n') {
        output_error(" Log %s does not end with a whole line: a new line is begun\n", path.c_str());
        return put(log, "\n");
    }
    // An existing record takes no header; that it can be written is made sure all the same.
    return files_sync(log.file) == 0 ? 0 : log_failed(log, "writing");
}

int selftest_log_board(SelfTestLog& log, const SelfTestBoard& board) {
    const int attempt = selftest_log_attempt(log, board.serial);
    const bool passed = board.reason.empty() && board.pass;
    ++log.boards;
    if (!board.reason.empty())
        ++log.errors;
    else if (board.pass)
        ++log.passed;
    else
        ++log.failed;
    if (board.serial.empty()) {
        ++log.unnumbered_boards;
        if (passed) ++log.unnumbered_passed;
    } else {
        SelfTestSerialHistory& seen = log.serials[board.serial];
        if (++seen.attempts == 1) seen.first_passed = passed;
        seen.in_run = true;
    }
    if (log.file == nullptr) return 0;
    // An older record holds only boards that were judged: a line with no verdict in its five
    // columns would read as a failed board.
    if (log.old_columns && !board.judged) return 0;
    return put(log, selftest_record_line(log, board, log.boards, attempt, local_time_now()) + "\n");
}
