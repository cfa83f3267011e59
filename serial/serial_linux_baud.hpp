#pragma once

// Sets any positive baud rate on both directions of the line (termios2 with BOTHER), leaving
// every other setting as it is. Returns 0, or -1 when the device refused or rounded the rate.
int serial_set_custom_baud(int fd, int rate);
