#include "modem_mode.hpp"

int modem_mode = 0;
