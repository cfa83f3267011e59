#pragma once

#include <cstddef>
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

// Why a file cannot take the bytes a program writes raw (a capture, an image).
enum FilesRefusal {
    files_usable,
    files_is_port,   // the serial port the run uses, also through a link
    files_is_device, // any other terminal, character or block device (a console, a null device)
    files_in_use,    // another program writes it (files_open_output)
    files_failed,    // the system refused; errno says why
};

// Looks at path, following links, without opening or creating it: files_usable when it does not
// exist yet or is a file, a folder (opening it fails later) or a pipe. Bytes meant for a file
// would go to hardware through a terminal or a device, and through the port back into the
// adapter. port_path is the device path of the run's serial port, "" when there is none.
FilesRefusal files_check_output(const char* path, const char* port_path);

// The refusal in words, after " Error opening capture file NAME: ": "it is a terminal or a
// device, not a file", ...; for files_failed the system's reason for error (an errno value).
std::string files_refusal_text(FilesRefusal refusal, int error);

// Opens path for writing, unbuffered, once files_check_output allows it: created when missing,
// but what it holds is kept (files_cut empties it), so a run that fails first leaves it as it was.
// Held exclusively while open: a second program that opens it so is refused (files_in_use).
// Returns the file, or null with refusal set (errno too, for files_failed).
std::FILE* files_open_output(const char* path, const char* port_path, FilesRefusal& refusal);

// One read of at most size bytes that returns as soon as any have come (from a pipe or a
// terminal as from a file). Returns the count, 0 at the end of input, or -1 with errno set.
long files_read(std::FILE* file, unsigned char* buffer, std::size_t size);
