#pragma once
// Opening a path for reading without ever opening anything but a regular file. Opening a device
// can act by itself (a terminal is allocated, a serial line raised, a watchdog armed, a tape
// rewound), a fifo or socket holds no stored bytes, and a file a store points at is hostile
// input. So the path is first resolved without opening anything for I/O (an O_PATH descriptor,
// links followed as a plain open follows them), its metadata is taken from that descriptor, and
// only a regular file is then opened for reading, through that same descriptor, so that nothing
// can be swapped in between. A path longer than the system's limit is resolved piece by piece.
// Keeps no state.

#include <sys/stat.h>

#include <cstdint>
#include <expected>

#include "base/errors/io_error.hpp"
#include "base/fd.hpp"

namespace kro::base {

struct FileForReading {
    struct stat metadata {};  // of what the path names, links followed
    UniqueFd fd;              // open for reading when, and only when, that is a regular file

    bool is_regular() const { return fd.valid(); }
};

// Which call failed: resolving or opening the path, or taking its metadata.
enum class OpenStep : uint8_t { Opening, ReadingMetadata };

struct OpenFailure {
    OpenStep step;
    IoError error;
};

std::expected<FileForReading, OpenFailure> open_regular_for_reading(const char* path);

}  // namespace kro::base
