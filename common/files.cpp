#include "files.hpp"

#include <cstring>

std::string files_refusal_text(FilesRefusal refusal, int error) {
    switch (refusal) {
    case files_is_port: return "it is the serial port itself, not a file";
    case files_is_device: return "it is a terminal or a device, not a file";
    case files_in_use: return "it is in use by another program";
    case files_usable:
    case files_failed: break;
    }
    return std::strerror(error);
}
