// The production record: one CSV line per tested board, each on the disk before the operator is
// asked for anything again, so that a power cut loses no board.

#include "selftest.hpp"

#include "files.hpp"
#include "output.hpp"

#include <cerrno>
#include <cstring>
#include <ctime>

namespace {

constexpr char header[] = "time,board,reading,volts,verdict\n";

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

// Written whole and through to the disk, or the write failed.
int put(const SelfTestLog& log, const std::string& line) {
    if (std::fputs(line.c_str(), log.file) == EOF || files_sync(log.file) != 0)
        return log_failed(log, "writing");
    return 0;
}

} // namespace

int selftest_log_open(SelfTestLog& log, const std::string& path) {
    log.path = path;
    log.file = std::fopen(path.c_str(), "ab");
    if (log.file == nullptr) return log_failed(log, "opening");
    if (std::fseek(log.file, 0, SEEK_END) != 0) return log_failed(log, "opening");
    if (std::ftell(log.file) == 0) return put(log, header);
    // An existing record takes no header; that it can be written is made sure all the same.
    return files_sync(log.file) == 0 ? 0 : log_failed(log, "writing");
}

int selftest_log_board(SelfTestLog& log, const SelfTestBoard& board) {
    ++log.boards;
    if (board.pass) ++log.passed;
    char reading[8] = "";
    char volts[16] = "";
    if (board.has_reading) {
        std::snprintf(reading, sizeof reading, "0x%04X", board.reading);
        std::snprintf(volts, sizeof volts, "%.0f", static_cast<double>(board.volts));
    }
    return put(log, local_time_now() + "," + std::to_string(log.boards) + "," + reading + "," +
                        volts + "," + (board.pass ? "PASS" : "FAIL") + "\n");
}

std::string selftest_log_summary(const SelfTestLog& log) {
    return " Boards tested: " + std::to_string(log.boards) +
           ", passed: " + std::to_string(log.passed) +
           ", failed: " + std::to_string(log.boards - log.passed) + "\n";
}
