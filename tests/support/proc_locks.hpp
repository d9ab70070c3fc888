#pragma once
// The locks that processes wait for, as the kernel lists them in /proc/locks, for tests that
// must know a process is blocked on a lock before they go on.

#include <sys/types.h>

#include <charconv>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace kro::testing {

// A waiting lock's fields, as in "1: -> FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF": the
// waiter's process id, and the device and inode number of the locked file.
struct LockWaiter {
    pid_t pid = 0;
    ino_t inode = 0;
};

inline std::vector<LockWaiter> lock_waiters() {
    std::vector<LockWaiter> waiters;
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        if (line.find("->") == std::string::npos) continue;
        std::istringstream fields(line);
        std::string id, arrow, kind, advice, mode, device_inode;
        pid_t pid = 0;
        if (!(fields >> id >> arrow >> kind >> advice >> mode >> pid >> device_inode)) continue;
        const size_t last = device_inode.rfind(':');
        if (last == std::string::npos) continue;
        ino_t inode = 0;
        const char* end = device_inode.data() + device_inode.size();
        if (std::from_chars(device_inode.data() + last + 1, end, inode).ptr != end) continue;
        waiters.push_back(LockWaiter{pid, inode});
    }
    return waiters;
}

}  // namespace kro::testing
