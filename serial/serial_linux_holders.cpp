// Who holds a busy port, from what Linux shows of every process under /proc.

#include "serial_platform.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

std::string serial_process_name(long pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name.empty() ? "?" : name;
}

// The processes that hold an flock on the device node: /proc/locks names them by pid, beside
// the node's filesystem and inode ("1: FLOCK  ADVISORY  WRITE 812 00:05:91 0 EOF").
std::vector<long> serial_lock_holders(const struct stat& node) {
    char wanted[64];
    std::snprintf(wanted, sizeof wanted, "%02x:%02x:%lu", major(node.st_dev), minor(node.st_dev),
                  static_cast<unsigned long>(node.st_ino));
    std::ifstream locks("/proc/locks");
    std::vector<long> pids;
    for (std::string line; std::getline(locks, line);) {
        std::istringstream fields(line);
        std::string number, kind, mode, access, inode;
        long pid = 0;
        // A waiter is shown with "->" before its kind; it holds nothing yet.
        if (!(fields >> number >> kind) || kind != "FLOCK") continue;
        if (fields >> mode >> access >> pid >> inode && inode == wanted) pids.push_back(pid);
    }
    return pids;
}

// Every other process with a descriptor on the device.
std::vector<long> serial_open_holders(const struct stat& node) {
    std::vector<long> pids;
    DIR* processes = opendir("/proc");
    if (processes == nullptr) return pids;
    const long self = getpid();
    while (const dirent* process = readdir(processes)) {
        char* end = nullptr;
        const long pid = std::strtol(process->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == self) continue;
        const std::string folder = "/proc/" + std::string(process->d_name) + "/fd";
        DIR* descriptors = opendir(folder.c_str());
        if (descriptors == nullptr) continue; // not ours to look into, or gone
        while (const dirent* descriptor = readdir(descriptors)) {
            struct stat open_file {};
            if (descriptor->d_name[0] == '.' ||
                stat((folder + "/" + descriptor->d_name).c_str(), &open_file) != 0)
                continue;
            if (S_ISCHR(open_file.st_mode) && open_file.st_rdev == node.st_rdev) {
                pids.push_back(pid);
                break;
            }
        }
        closedir(descriptors);
    }
    closedir(processes);
    return pids;
}

} // namespace

std::vector<SerialHolder> serial_port_holders(const std::string& path) {
    std::vector<SerialHolder> holders;
    struct stat node {};
    if (stat(path.c_str(), &node) != 0 || !S_ISCHR(node.st_mode)) return holders;
    std::vector<long> pids = serial_lock_holders(node);
    if (pids.empty()) pids = serial_open_holders(node);
    for (const long pid : pids) holders.push_back({pid, serial_process_name(pid)});
    return holders;
}
