#pragma once

// How the suites' table-driven cases are named, and small helpers the tables share.

#include <gtest/gtest.h>

#include <ostream>
#include <string>

// Bounds every wait of a test for something that should come: a healthy run needs a small part
// of it, on a loaded machine and under the sanitizers alike, and a wait ends as soon as what it
// waits for has come.
inline constexpr int test_timeout_ms = 30000;

// Test cases show by name in test listings, not as a dump of their bytes.
template <typename Case>
requires requires(const Case& c) {
    c.name;
}
void PrintTo(const Case& c, std::ostream* out) {
    *out << c.name;
}

// The name of a parameterized case in test listings: its `name` field.
inline const auto case_name = [](const auto& info) { return std::string(info.param.name); };

inline std::string repeated(const std::string& text, int times) {
    std::string all;
    for (int i = 0; i < times; ++i) all += text;
    return all;
}
