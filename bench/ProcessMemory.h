#pragma once

#include <fstream>
#include <string>

// A "Vm...:" line of /proc/self/status in megabytes, 0 where it is missing
// (other systems): VmRSS is the resident size now, VmHWM its peak so far.
inline double ProcessMemoryMb(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string name;
    while (status >> name) {
        if (name == field + ":") {
            double kilobytes = 0.0;
            status >> kilobytes;
            return kilobytes / 1024.0;
        }
        status.ignore(1 << 20, '\n');
    }
    return 0.0;
}
