#include "console.hpp"
#include "selftest.hpp"

int main(int argument_count, char** arguments) {
    console_start();
    const SelfTestOptions options = selftest_read_options(argument_count, arguments);
    return selftest_run(options);
}
