// tapwright-emu: wires the command line to the run.

#include "emulator_tool.hpp"

int main(int argc, char** argv) {
    EmulatorOptions options;
    const int parsed = emulator_parse_options(argc, argv, options);
    if (parsed < 0) {
        emulator_usage_hint();
        return emulator_exit_usage;
    }
    if (parsed > 0) return emulator_flush_output() == 0 ? emulator_exit_ok : emulator_exit_failure;
    return emulator_run(options);
}
