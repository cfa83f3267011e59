// tapwright-emu: wires the command line to the run.

#include "emulator_tool.hpp"

int main(int argc, char** argv) {
    EmulatorOptions options;
    const int parsed = emulator_parse_options(argc, argv, options);
    if (parsed < 0) {
        emulator_usage_hint();
        return emulator_exit_usage;
    }
    if (parsed > 0) return emulator_exit_ok;
    return emulator_run(options);
}
