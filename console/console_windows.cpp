#include "console.hpp"

#include "output.hpp"
#include "serial.hpp"

#include <atomic>
#include <cstdlib>
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
bool started = false;
bool input_ended = false;

// Set from the console's control thread; the event wakes a wait that is under way.
std::atomic<bool> signals_as_key{false};
std::atomic<bool> signal_key_pending{false};
HANDLE signal_event = nullptr;

// Keys taken from the console's input records and not yet handed out.
int console_keys[64];
int console_keys_pos = 0;
int console_keys_len = 0;

// One chunk of standard input, as one ReadFile returned it: an escape sequence is recognised by
// its bytes arriving together.
unsigned char chunk[256];
int chunk_pos = 0;
int chunk_len = 0;

// A pipe cannot be waited on together with an event, so a thread reads standard input and hands
// each chunk over as one ReadFile returned it, reading the next once this one is taken.
unsigned char incoming[sizeof chunk];
int incoming_len = 0; // -1: input ended
HANDLE chunk_ready = nullptr;
HANDLE chunk_wanted = nullptr;
bool reader_started = false;

inline constexpr DWORD escape_grace_ms = 10;

bool key_buffered() {
    return console_keys_pos < console_keys_len || chunk_pos < chunk_len;
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
void take_chunk() {
    if (incoming_len < 0) {
        input_ended = true;
        return;
    }
    std::memcpy(chunk, incoming, static_cast<size_t>(incoming_len));
    chunk_pos = 0;
    chunk_len = incoming_len;
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

// Waits up to ms (INFINITE: no limit) until a key is buffered, input has ended, or a signal was
// taken as a key. Sleeps in the wait: no periodic wake-up.
void wait_input(DWORD ms) {
    if (input_kind == console_input_bytes && !reader_started) start_reader();
    const ULONGLONG deadline = GetTickCount64() + ms;
    for (;;) {
        if (signal_key_pending.load() || key_buffered() || input_ended) return;
        const HANDLE handles[2] = {input_kind == console_input_keys ? input : chunk_ready,
                                   signal_event};
        const ULONGLONG now = GetTickCount64();
        const DWORD left = ms == INFINITE    ? INFINITE
                           : now >= deadline ? 0
                                             : static_cast<DWORD>(deadline - now);
        const DWORD woken = WaitForMultipleObjects(2, handles, FALSE, left);
        if (woken == WAIT_OBJECT_0) {
            if (input_kind == console_input_keys)
                take_console_keys();
            else
                take_chunk();
        } else if (woken == WAIT_TIMEOUT) {
            return;
        } else if (woken != WAIT_OBJECT_0 + 1) {
            input_ended = true;
            return;
        }
    }
}

// The next key from the chunk. A lone ESC at the end of the chunk may be the first part of a
// sequence that was split: with grace, bytes that follow at once belong to it.
int next_byte_key(bool grace) {
    const int byte = chunk[chunk_pos];
    if (byte != key_escape) {
        ++chunk_pos;
        return byte;
    }
    if (chunk_pos + 1 < chunk_len) {
        chunk_pos = chunk_len;
        return key_sequence;
    }
    chunk_pos = chunk_len;
    if (!grace || input_ended) return key_escape;
    if (WaitForSingleObject(chunk_ready, escape_grace_ms) != WAIT_OBJECT_0) return key_escape;
    take_chunk();
    if (!key_buffered()) return key_escape;
    chunk_pos = chunk_len;
    return key_sequence;
}

int take_key() {
    if (signal_key_pending.exchange(false)) {
        ResetEvent(signal_event);
        return key_signal;
    }
    if (console_keys_pos < console_keys_len) return console_keys[console_keys_pos++];
    if (chunk_pos < chunk_len) return next_byte_key(true);
    return key_end_of_input;
}

BOOL WINAPI on_control(DWORD type) {
    if ((type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT) && signals_as_key.load()) {
        signal_key_pending.store(true);
        SetEvent(signal_event);
        return TRUE;
    }
    // Closing the console, logging off, shutting down, or an interrupt elsewhere: ended at once,
    // which closes the port. The default handler's ExitProcess would run the runtime's clean-up
    // on this thread while ours may hold a stdio lock, and could hang there.
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    return TRUE;
}

} // namespace

void console_start() {
    if (started) return;
    started = true;
    std::atexit(serial_release_all);
    signal_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(on_control, TRUE);
    input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (input == nullptr || input == INVALID_HANDLE_VALUE)
        input_kind = console_input_none;
    else
        input_kind = GetConsoleMode(input, &mode) ? console_input_keys : console_input_bytes;
    if (input_kind == console_input_none || signal_event == nullptr) input_ended = true;
}

// The console's mode is never changed here: key records come without echo or line editing.
void console_restore() {}

void console_signals_as_key(bool on) {
    signals_as_key.store(on);
}

int console_key_waiting() {
    output_flush();
    wait_input(0);
    if (signal_key_pending.load() || key_buffered()) return 1;
    return input_ended ? key_end_of_input : 0;
}

int console_take_key() {
    if (!signal_key_pending.load() && !key_buffered() && !input_ended) {
        output_flush();
        wait_input(INFINITE);
    }
    return take_key();
}

int console_wait_key() {
    output_flush();
    wait_input(INFINITE);
    return take_key();
}

void console_pause(int ms) {
    output_flush();
    if (ms > 0) Sleep(static_cast<DWORD>(ms));
}

// A synchronous port cannot be waited on together with the keyboard: this only tells whether a
// key is waiting, and the capture read that follows waits for the port, a bounded time.
int console_wait_port_or_key(PortHandle, int) {
    return console_key_waiting() == 1 ? 1 : 0;
}
