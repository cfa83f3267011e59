#include "session.hpp"
#include "sniffer.hpp"

int main(int argument_count, char** arguments) {
    session_start();
    const SniffOptions options = sniff_read_options(argument_count, arguments);
    return options.read.empty() ? sniff_run(options) : sniff_replay(options);
}
