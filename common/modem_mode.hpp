#pragma once

// 0: the adapter is on the line (the default); 1: an AT modem stands in its place.
// Set only by option -m while the command line is read; only read afterwards.
extern int modem_mode;
