#include "keys.hpp"

#include "keys_chunk.hpp"
#include "output.hpp"
#include "session_keys.hpp"

#include <cstring>

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace {

// Keys come from the console's key records when standard input is a console, and from its
// bytes, under the same rules as on POSIX, when it is a pipe, a file or the null device.
enum ConsoleInput { console_input_none, console_input_keys, console_input_bytes };

ConsoleInput input_kind = console_input_none;
HANDLE input = nullptr;
bool input_ended = false;
bool input_found = false;

// Keys taken from the console's input records and not yet handed out.
int console_keys[64];
int console_keys_pos = 0;
int console_keys_len = 0;

KeyChunk chunk{};

// A pipe cannot be waited on together with an event, so a thread reads standard input and hands
// each chunk over as one ReadFile returned it, reading the next once this one is taken.
unsigned char incoming[sizeof chunk.bytes];
int incoming_len = 0; // -1: input ended
HANDLE chunk_ready = nullptr;
HANDLE chunk_wanted = nullptr;
bool reader_started = false;

bool key_buffered() {
    return console_keys_pos < console_keys_len || keys_chunk_left(chunk);
}

HANDLE signal_wake() {
    return reinterpret_cast<HANDLE>(session_signal_wake());
}

// Where keys come from, found out when they are first looked for.
void find_input() {
    input_found = true;
    input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (input == nullptr || input == INVALID_HANDLE_VALUE)
        input_kind = console_input_none;
    else
        input_kind = GetConsoleMode(input, &mode) ? console_input_keys : console_input_bytes;
    if (input_kind == console_input_none || signal_wake() == nullptr) input_ended = true;
}

DWORD WINAPI read_input(void*) {
    for (;;) {
        WaitForSingleObject(chunk_wanted, INFINITE);
        DWORD got = 0;
        const BOOL read = ReadFile(input, incoming, sizeof incoming, &got, nullptr);
        // End of file, a broken pipe or a closed handle: no key will come.
        incoming_len = read && got > 0 ? static_cast<int>(got) : -1;
        SetEvent(chunk_ready);
        if (incoming_len < 0) return 0;
    }
}

// Started when a key is first looked for: a run that ends before (a command-line error) never
// has a thread of ours blocked in a read while the process exits, which wine can report as an
// error on standard error.
void start_reader() {
    reader_started = true;
    chunk_ready = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    chunk_wanted = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    const HANDLE thread = chunk_ready == nullptr || chunk_wanted == nullptr
                              ? nullptr
                              : CreateThread(nullptr, 0, read_input, nullptr, 0, nullptr);
    if (thread == nullptr)
        input_ended = true;
    else
        CloseHandle(thread);
}

// Called once chunk_ready was signalled.
void take_chunk(KeyChunk& into) {
    if (incoming_len < 0) {
        input_ended = true;
        return;
    }
    std::memcpy(into.bytes, incoming, static_cast<size_t>(incoming_len));
    into.pos = 0;
    into.len = incoming_len;
    SetEvent(chunk_wanted);
}

// A key that gives no character (arrows, function keys) is an ordinary key, as an escape
// sequence is on POSIX; a modifier pressed alone is no key at all.
bool is_modifier(WORD key) {
    switch (key) {
    case VK_SHIFT:
    case VK_CONTROL:
    case VK_MENU:
    case VK_LWIN:
    case VK_RWIN:
    case VK_CAPITAL:
    case VK_NUMLOCK:
    case VK_SCROLL: return true;
    default: return false;
    }
}

// Called once the console's input handle was signalled: takes the records that are there.
void take_console_keys() {
    INPUT_RECORD records[sizeof console_keys / sizeof console_keys[0]];
    DWORD got = 0;
    if (!ReadConsoleInputA(input, records, sizeof records / sizeof records[0], &got)) {
        input_ended = true; // waiting again on a console we cannot read would spin
        return;
    }
    console_keys_pos = console_keys_len = 0;
    for (DWORD i = 0; i < got; ++i) {
        if (records[i].EventType != KEY_EVENT || !records[i].Event.KeyEvent.bKeyDown) continue;
        const KEY_EVENT_RECORD& key = records[i].Event.KeyEvent;
        const int code = static_cast<unsigned char>(key.uChar.AsciiChar);
        if (code != 0)
            console_keys[console_keys_len++] = code;
        else if (!is_modifier(key.wVirtualKeyCode))
            console_keys[console_keys_len++] = key_sequence;
    }
}

bool key_waiting() {
    return session_signal_key_waiting() || key_buffered();
}

// Waits up to ms (INFINITE: no limit) until a key is waiting (1), the port's event says it is
// ready to be read (0), or the time is up or, without a port, input has ended (-1). Sleeps in the
// wait: no periodic wake-up.
int wait(DWORD ms, HANDLE port) {
    if (!input_found) find_input();
    if (input_kind == console_input_bytes && !reader_started) start_reader();
    const ULONGLONG deadline = GetTickCount64() + ms;
    for (;;) {
        if (key_waiting()) return 1;
        if (input_ended && port == nullptr) return -1;
        const HANDLE keys = input_ended                        ? nullptr
                            : input_kind == console_input_keys ? input
                                                               : chunk_ready;
        HANDLE handles[3];
        DWORD count = 0;
        for (const HANDLE handle : {keys, signal_wake(), port})
            if (handle != nullptr) handles[count++] = handle;
        const ULONGLONG now = GetTickCount64();
        const DWORD left = ms == INFINITE    ? INFINITE
                           : now >= deadline ? 0
                                             : static_cast<DWORD>(deadline - now);
        const DWORD woken = WaitForMultipleObjects(count, handles, FALSE, left);
        if (woken == WAIT_TIMEOUT) return key_waiting() ? 1 : -1;
        if (woken >= WAIT_OBJECT_0 + count) {
            if (port != nullptr) return 0; // let the read find out what is wrong
            input_ended = true;            // waiting again would spin
            return -1;
        }
        const HANDLE which = handles[woken - WAIT_OBJECT_0];
        if (which == port) return key_waiting() ? 1 : 0;
        if (which != keys) continue; // a signal taken as a key
        if (input_kind == console_input_keys)
            take_console_keys();
        else
            take_chunk(chunk);
    }
}

// What follows a lone ESC at once belongs to its escape sequence.
bool read_more(KeyChunk& into) {
    if (input_ended) return false;
    if (WaitForSingleObject(chunk_ready, keys_escape_grace_ms) != WAIT_OBJECT_0) return false;
    take_chunk(into);
    return keys_chunk_left(into);
}

int take_key() {
    if (session_take_signal_key()) return key_signal;
    if (console_keys_pos < console_keys_len) return console_keys[console_keys_pos++];
    if (keys_chunk_left(chunk)) return keys_chunk_next(chunk, read_more);
    return key_end_of_input;
}

} // namespace

int keys_waiting() {
    output_flush();
    if (wait(0, nullptr) == 1) return 1;
    return input_ended ? key_end_of_input : 0;
}

int keys_take() {
    output_flush();
    wait(INFINITE, nullptr);
    return take_key();
}

int keys_wait_key_or_port(PortHandle port, int timeout_ms) {
    output_flush();
    const HANDLE watched = port < 0 ? nullptr : reinterpret_cast<HANDLE>(serial_watch(port));
    return wait(timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms), watched);
}
