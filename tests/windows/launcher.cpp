// Starts a Windows program for the end-to-end suites run under wine, with the argv[0] the suite
// gives it, its standard output and error those of the launcher, and its exit status passed on.
//
//   launcher.exe --pipe PROGRAM ARGV0 [ARG]...   standard input passed on as it is
//   launcher.exe --keys PROGRAM ARGV0 [ARG]...   standard input typed as key events on a
//                                                console of the program's own
//
// With --keys the bytes of standard input become key records, as a console delivers typed keys:
// an ESC with bytes after it in the same read is one key without a character (an arrow), and
// 0x03 is Ctrl-C. Under wine a program only gets a console input handle as standard input when
// a process already attached to the pseudo-console starts it, so the launcher starts itself
// there first (--on-console).
#include <cstdio>
#include <cstdlib>
#include <string>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace {

// The arguments quoted for the runtime's command-line parser. The suites' arguments hold no
// double quote and end in no backslash, the two cases that would need escapes.
std::string launcher_command_line(int count, char** arguments) {
    std::string line;
    for (int i = 0; i < count; ++i) line += std::string(i > 0 ? " \"" : "\"") + arguments[i] + '"';
    return line;
}

HANDLE launcher_inheritable(DWORD which) {
    const HANDLE handle = GetStdHandle(which);
    SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    return handle;
}

HANDLE launcher_start(const char* program, std::string command_line, STARTUPINFOA& start,
                      DWORD flags) {
    PROCESS_INFORMATION process{};
    // Wine now and then refuses a start (ERROR_INTERNAL_ERROR) when many come in a row.
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (CreateProcessA(program, command_line.data(), nullptr, nullptr, TRUE, flags, nullptr,
                           nullptr, &start, &process)) {
            CloseHandle(process.hThread);
            return process.hProcess;
        }
        Sleep(50);
    }
    std::fprintf(stderr, "launcher: cannot start %s: error %lu\n", program, GetLastError());
    std::exit(127);
}

int launcher_wait(HANDLE process) {
    WaitForSingleObject(process, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(process, &status);
    return static_cast<int>(status);
}

HANDLE console_input = INVALID_HANDLE_VALUE;

void launcher_type(WORD virtual_key, char character) {
    INPUT_RECORD records[2]{};
    for (int i = 0; i < 2; ++i) {
        records[i].EventType = KEY_EVENT;
        records[i].Event.KeyEvent.bKeyDown = i == 0;
        records[i].Event.KeyEvent.wRepeatCount = 1;
        records[i].Event.KeyEvent.wVirtualKeyCode = virtual_key;
        records[i].Event.KeyEvent.uChar.AsciiChar = character;
    }
    DWORD written = 0;
    WriteConsoleInputA(console_input, records, 2, &written);
}

DWORD WINAPI launcher_type_input(void*) {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    char bytes[256];
    DWORD count = 0;
    while (ReadFile(input, bytes, sizeof bytes, &count, nullptr) && count > 0) {
        for (DWORD i = 0; i < count; ++i) {
            if (bytes[i] == '\x1b' && i + 1 < count) {
                constexpr WORD arrows[] = {VK_UP, VK_DOWN, VK_RIGHT, VK_LEFT};
                const char last = bytes[count - 1];
                launcher_type(last >= 'A' && last <= 'D' ? arrows[last - 'A'] : VK_F1, 0);
                break;
            }
            if (bytes[i] == '\x03')
                GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
            else
                launcher_type(bytes[i] == '\x1b' ? VK_ESCAPE : VkKeyScanA(bytes[i]) & 0xFF,
                              bytes[i]);
        }
    }
    return 0;
}

// Ctrl-C typed for the program reaches every process on its console, this one too.
BOOL WINAPI launcher_ignore_control(DWORD) {
    return TRUE;
}

int launcher_on_console(const char* program, std::string command_line) {
    SetConsoleCtrlHandler(launcher_ignore_control, TRUE);
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    console_input =
        CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    &inherit, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOA start{};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = console_input;
    start.hStdOutput = launcher_inheritable(STD_OUTPUT_HANDLE);
    start.hStdError = launcher_inheritable(STD_ERROR_HANDLE);
    const HANDLE process = launcher_start(program, command_line, start, 0);
    CreateThread(nullptr, 0, launcher_type_input, nullptr, 0, nullptr);
    return launcher_wait(process);
}

// The pseudo-console draws the screen on its output pipe; nobody looks at it, but it must flow.
DWORD WINAPI launcher_discard(void* pipe) {
    char bytes[4096];
    DWORD count = 0;
    while (ReadFile(static_cast<HANDLE>(pipe), bytes, sizeof bytes, &count, nullptr) && count > 0) {
    }
    return 0;
}

int launcher_with_keys(int count, char** arguments) {
    HANDLE keys_read, keys_write, screen_read, screen_write;
    HPCON console = nullptr;
    if (!CreatePipe(&keys_read, &keys_write, nullptr, 0) ||
        !CreatePipe(&screen_read, &screen_write, nullptr, 0) ||
        FAILED(CreatePseudoConsole({80, 25}, keys_read, screen_write, 0, &console))) {
        std::fprintf(stderr, "launcher: no pseudo-console: error %lu\n", GetLastError());
        return 127;
    }
    CreateThread(nullptr, 0, launcher_discard, screen_read, 0, nullptr);
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::string area(size, '\0');
    const auto attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(area.data());
    InitializeProcThreadAttributeList(attributes, 1, 0, &size);
    UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_PSEUDOCONSOLE, console,
                              sizeof console, nullptr, nullptr);
    STARTUPINFOEXA start{};
    start.StartupInfo.cb = sizeof start;
    start.lpAttributeList = attributes;
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    arguments[1] = const_cast<char*>("--on-console");
    return launcher_wait(launcher_start(self, launcher_command_line(count, arguments),
                                        start.StartupInfo, EXTENDED_STARTUPINFO_PRESENT));
}

} // namespace

int main(int count, char** arguments) {
    if (count < 4) {
        std::fputs("usage: launcher.exe --pipe|--keys PROGRAM ARGV0 [ARG]...\n", stderr);
        return 2;
    }
    const std::string mode = arguments[1];
    const std::string command_line = launcher_command_line(count - 3, arguments + 3);
    if (mode == "--keys") return launcher_with_keys(count, arguments);
    if (mode == "--on-console") return launcher_on_console(arguments[2], command_line);
    STARTUPINFOA start{};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = launcher_inheritable(STD_INPUT_HANDLE);
    start.hStdOutput = launcher_inheritable(STD_OUTPUT_HANDLE);
    start.hStdError = launcher_inheritable(STD_ERROR_HANDLE);
    return launcher_wait(launcher_start(arguments[2], command_line, start, 0));
}
