#pragma once

// Standard output is buffered for speed; standard error is not. These two keep the texts of
// both streams in the order they were printed, even when both go to one pipe or file.

// Pushes out everything printed so far. Called before every wait (serial read, pause, key
// poll) and before anything that writes to standard error behind our back (the option parser).
void output_flush();

// printf to standard error, after flushing standard output. Returns what vfprintf returns.
int output_error(const char* format, ...) __attribute__((format(printf, 1, 2)));
