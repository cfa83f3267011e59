#pragma once

#include <cstdio>
#include <string>

// The files the programs keep beside their output (a capture, a production record), where the
// platforms differ.

// Standard input as bytes, untranslated: a capture may come through it.
void files_binary_input();

// Pushes what the file holds through to the disk, so that a power cut loses none of it.
// Returns 0, or -1 with errno set.
int files_sync(std::FILE* file);

// Whether the file is a plain file on a disk: one that can be read back, synced and cut. A
// terminal, a pipe or a null device is not.
bool files_regular(std::FILE* file);

// Cuts the file back to its first size bytes, so that a write that failed half-way leaves
// nothing of itself behind. Returns 0, or -1 with errno set.
int files_cut(std::FILE* file, long size);

// Puts the file at from in the place of to, in one step: to is either as it was or the whole new
// file, never half of it. Returns 0, or -1 with errno set.
int files_replace(const std::string& from, const std::string& to);
