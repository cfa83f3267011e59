#include "session.hpp"
#include "sniffer.hpp"

int main(int argument_count, char** arguments) {
    // A saved capture takes no keys: a terminal it is read from keeps Ctrl-D as its end.
    if (sniff_reads_capture(argument_count, arguments)) session_without_keys();
    session_start();
    const SniffOptions options = sniff_read_options(argument_count, arguments);
    return options.read.empty() ? sniff_run(options) : sniff_replay(options);
}
