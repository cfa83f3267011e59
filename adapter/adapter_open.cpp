// The adapter's port as both programs open it: announced, opened, its line set up.

#include "adapter.hpp"

#include "output.hpp"

#include <cstdio>

PortHandle adapter_open(const std::string& device, const std::string& speed, int baud) {
    output_text(" Opening Tapwright on %s at %sbps...\n", device.c_str(), speed.c_str());
    const PortHandle port = serial_open(device.c_str());
    if (port < 0) {
        output_error(" Error opening serial port\n");
        output_error("%s\n", serial_open_error_text(device.c_str()).c_str());
        return port_not_open;
    }
    serial_configure(port, baud);
    return port;
}
