#include "selftest.hpp"
#include "session.hpp"

int main(int argument_count, char** arguments) {
    session_start();
    const SelfTestOptions options = selftest_read_options(argument_count, arguments);
    return selftest_run(options);
}
