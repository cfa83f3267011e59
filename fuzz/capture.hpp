#pragma once

// Standard output of the code under fuzzing, caught in memory: descriptor 1 is pointed at an
// in-memory file once, and each run reads back what it printed.

#include <string>

// Points standard output at the in-memory file. Returns 0, or -1 when that was refused.
int fuzz_capture_start();

// Forgets what was printed so far.
void fuzz_capture_clear();

// What was printed since the last clear.
std::string fuzz_capture_text();
