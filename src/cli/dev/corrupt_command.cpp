// `kro dev corrupt-file`: overwrites a byte range of one file in place with zeros or random
// bytes, reproducibly with `--seed`, so that verification can be tried on known damage.

#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <cstring>

#include "base/errors/error.hpp"
#include "base/fd.hpp"
#include "base/os_random.hpp"
#include "base/path_display.hpp"
#include "cli/command_error.hpp"
#include "cli/commands.hpp"
#include "cli/dev/corrupt.hpp"
#include "cli/output/stream_writer.hpp"
#include "gen/sizes/chacha.hpp"

namespace kro::cli {
namespace {

namespace fs = std::filesystem;
using base::IoError;

// Progress lines go out one at a time, so that they keep their place among the error lines.
template <typename... Args>
void say(fmt::format_string<Args...> text, Args&&... args) {
    StreamWriter out = StreamWriter::standard_output();
    fmt::format_to(std::back_inserter(out.buffer()), text, std::forward<Args>(args)...);
    out.write("\n");
    out.flush();
}

void complain(std::string_view line) {
    StreamWriter err = StreamWriter::standard_error();
    err.write("Error: ");
    err.write(line);
    err.write("\n");
    err.flush();
}

uint8_t fail(const CommandError& error) {
    complain(base::error_chain(error));
    return 1;
}

// Random bytes in file order from the shared ChaCha12 generator, keyed by the seed or by the
// operating system.
std::expected<gen::ChaCha12Stream, IoError> random_stream(const std::optional<uint64_t>& seed) {
    if (seed) return gen::ChaCha12Stream(corruption_key(*seed));
    std::array<uint8_t, 32> key{};
    if (auto filled = base::fill_os_random(key); !filled) return std::unexpected(filled.error());
    return gen::ChaCha12Stream(key);
}

}  // namespace

uint8_t run_corrupt_file(CorruptFileArgs args) {
    const fs::path& path = args.filepath;
    const std::string shown = base::display_path(path);
    const bool zero = args.preset == Preset::Zero;
    say("Corrupting file: {}", shown);
    say("Preset: {}", zero ? "zero" : "random");
    say("Range: bytes {} to {} ({} bytes)", args.start, range_end(args.start, args.length), args.length);

    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return fail(CommandError::with_cause(fmt::format("reading {}", shown), IoError::last_os_error()));
    }
    const auto size = static_cast<uint64_t>(st.st_size);
    if (args.start >= size) {
        complain(fmt::format("Start offset {} is beyond file size {}", args.start, size));
        return 2;
    }
    uint64_t length = args.length;
    if (length > size - args.start) {
        length = size - args.start;
        say("Warning: Corruption range extends beyond file size. Truncating to {} bytes.", length);
    }

    const auto corrupting = [&](IoError cause) {
        return fail(CommandError::with_cause(fmt::format("corrupting {}", shown), std::move(cause)));
    };
    auto fd = open_for_overwrite(path, args.start);
    if (!fd) return corrupting(std::move(fd.error()));

    if (zero) {
        const auto written = overwrite_range(fd->get(), length, [](std::span<uint8_t> piece) {
            std::fill(piece.begin(), piece.end(), uint8_t{0});
        });
        if (!written) return corrupting(written.error());
        say("Zeroed out {} bytes", length);
    } else {
        if (args.seed) say("Using random seed: {}", *args.seed);
        auto stream = random_stream(args.seed);
        if (!stream) return corrupting(std::move(stream.error()));
        const auto written =
            overwrite_range(fd->get(), length, [&](std::span<uint8_t> piece) { stream->fill_bytes(piece); });
        if (!written) return corrupting(written.error());
        say("Filled {} bytes with random data", length);
    }
    fd->reset();
    say("Corruption complete.");
    return 0;
}

}  // namespace kro::cli
