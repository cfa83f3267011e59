#pragma once

// A trial runs one reader (spi-sniffer, or a baseline such as xxd) on a pseudo-terminal whose
// master the bench keeps as a stand-in adapter: it answers as the emulated adapter does, feeds
// bytes at a chosen pace and stamps each write, timestamps the reader's output as it arrives,
// presses a key, and notices the exit through a pidfd. All of it happens in one thread and one
// wait, so each time is taken where the event happens and no hand-over between threads adds
// to it.

#include "bench_feed.hpp"

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

struct BenchTrial {
    std::vector<std::string> command; // the reader; an argument "{port}" becomes the slave's path
    // Answer like the adapter and feed from the start byte on; false: a plain reader of the
    // port, fed as soon as it runs (once its output shows a first byte, when byte_text is set).
    bool adapter = true;
    BenchFeed feed;
    std::string output_path; // the reader's stdout: this file, or "" for a pipe the bench reads
    bool output_terminal =
        false;                // or a terminal (pseudo) in its default mode, that the bench reads
    std::string output_start; // in the pipe, bytes count from the end of this text
    std::string byte_text;    // in the pipe, each fed byte's text; "" counts nothing
    std::chrono::milliseconds key_after{-1}; // a key this long after the feed began; -1: none
    // After the last byte fed: false, the reader is sent SIGTERM once every byte's text came
    // (or settle passed); true, the master is closed once the reader has taken every byte.
    bool hangup = false;
    std::chrono::milliseconds settle{2000};
    std::chrono::milliseconds limit{30000}; // after this the reader is killed
};

struct BenchOutcome {
    bool fed_from_start = false; // the feed began (for the adapter: the start byte came)
    BenchTime feed_began{};
    BenchTime all_taken{}; // with hangup: the reader had taken the last byte fed
    BenchTime key_pressed{};
    BenchTime exited{};
    std::size_t fed = 0;
    std::vector<BenchTime> written; // per byte fed, when byte_text is set
    std::vector<BenchTime> shown;   // per byte_text seen in the output, in order
    std::string output;             // the piped stdout, when byte_text is set
    int exit_status = -1;           // what the reader exited with; -1 when it died of a signal
    double cpu_seconds = 0;         // user + system over the reader's whole life
    bool killed = false;            // it did not end within the limit
};

// Runs the trial to the reader's end. Returns 0, or -1 when the reader could not be started
// or had to be killed.
int bench_trial_run(const BenchTrial& trial, BenchOutcome& outcome);

// The reader ended by exit() with this status.
bool bench_exited_with(const BenchOutcome& outcome, int status);
