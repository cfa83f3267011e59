// The production record's text: its columns, the line a board becomes, and what a record already
// on the disk says about the serial numbers in it. Nothing here touches a file.

#include "selftest.hpp"

#include "version.hpp"

#include <cstdio>
#include <utility>
#include <vector>

// Today's columns come after the older five, so that a reader of older records still finds its
// columns where they were.
const char* const selftest_record_old_header = "time,board,reading,volts,verdict";
const char* const selftest_record_header =
    "time,board,reading,volts,verdict,serial,station,operator,version,limit,volts_exact,outcome,"
    "attempt,reason";

namespace {

constexpr std::size_t serial_column = 5;
constexpr std::size_t outcome_column = 11;

// ERROR: no reading could be made, which is no verdict on the board, whatever the screen said.
const char* outcome(const SelfTestBoard& board) {
    if (!board.reason.empty()) return "ERROR";
    return board.pass ? "PASS" : "FAIL";
}

// The records of a CSV text, each as its fields. A quoted field may hold commas, doubled quotes
// and line breaks; a hand-edited file may end its lines in CR LF.
std::vector<std::vector<std::string>> csv_records(const std::string& text) {
    std::vector<std::vector<std::string>> records;
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted && c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
            fields.back() += '"';
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (quoted) {
            fields.back() += c;
        } else if (c == ',') {
            fields.emplace_back();
        } else if (c == '\n') {
            records.push_back(std::move(fields));
            fields.assign(1, "");
        } else if (c != '\r') {
            fields.back() += c;
        }
    }
    if (fields.size() > 1 || !fields[0].empty()) records.push_back(std::move(fields));
    return records;
}

} // namespace

std::string selftest_csv_field(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (const char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

std::string selftest_record_line(const SelfTestLog& log, const SelfTestBoard& board,
                                 int board_number, int attempt, const std::string& time) {
    char reading[8] = "";
    char volts[16] = "";
    char volts_exact[24] = "";
    if (board.has_reading) {
        std::snprintf(reading, sizeof reading, "0x%04X", board.reading);
        std::snprintf(volts, sizeof volts, "%.0f", static_cast<double>(board.volts));
        std::snprintf(volts_exact, sizeof volts_exact, "%.3f", static_cast<double>(board.volts));
    }
    // Older records only ever held boards that were judged, as PASS or FAIL.
    const std::string verdict = board.judged ? (board.pass ? "PASS" : "FAIL") : "";
    std::string line =
        time + "," + std::to_string(board_number) + "," + reading + "," + volts + "," + verdict;
    if (log.old_columns) return line;
    char limit[16];
    std::snprintf(limit, sizeof limit, "%.1f", static_cast<double>(selftest_pass_volts));
    return line + "," + selftest_csv_field(board.serial) + "," + selftest_csv_field(log.station) +
           "," + selftest_csv_field(log.operator_name) + "," + tapwright_version + "," + limit +
           "," + volts_exact + "," + outcome(board) + "," +
           (attempt > 0 ? std::to_string(attempt) : "") + "," + selftest_csv_field(board.reason);
}

void selftest_record_history(SelfTestLog& log, const std::string& text) {
    const std::vector<std::vector<std::string>> records = csv_records(text);
    for (std::size_t i = 1; i < records.size(); ++i) {
        const std::vector<std::string>& fields = records[i];
        if (fields.size() <= outcome_column || fields[serial_column].empty()) continue;
        SelfTestSerialHistory& seen = log.serials[fields[serial_column]];
        if (++seen.attempts == 1) seen.first_passed = fields[outcome_column] == "PASS";
    }
}

int selftest_log_attempt(const SelfTestLog& log, const std::string& serial) {
    if (serial.empty()) return 0;
    const auto seen = log.serials.find(serial);
    return seen == log.serials.end() ? 1 : seen->second.attempts + 1;
}

std::string selftest_log_summary(const SelfTestLog& log) {
    // First-pass yield: of the boards this run tested, those whose first attempt ever passed. A
    // board without a serial number cannot be told again: each is a board of its own.
    int yield_boards = log.unnumbered_boards;
    int yield_passed = log.unnumbered_passed;
    for (const auto& [serial, seen] : log.serials) {
        if (!seen.in_run) continue;
        ++yield_boards;
        if (seen.first_passed) ++yield_passed;
    }
    char yield[64];
    if (yield_boards == 0)
        std::snprintf(yield, sizeof yield, "0 of 0 boards");
    else
        std::snprintf(yield, sizeof yield, "%d of %d boards (%.1f%%)", yield_passed, yield_boards,
                      100.0 * yield_passed / yield_boards);
    return " Boards tested: " + std::to_string(log.boards) +
           ", passed: " + std::to_string(log.passed) + ", failed: " + std::to_string(log.failed) +
           ", errors: " + std::to_string(log.errors) + ", first-pass yield: " + yield + "\n";
}
