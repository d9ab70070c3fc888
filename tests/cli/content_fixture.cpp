#include "content_fixture.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <stdexcept>

#include "base/errors/error.hpp"
#include "format/store_path.hpp"
#include "gen/generate.hpp"
#include "kro_process.hpp"

namespace kro::test {

format::FileId file_id_of(std::span<const uint8_t> bytes, format::FormatVersion version) {
    if (version == format::FormatVersion::V2) {
        format::V2FileIdHasher hasher;
        hasher.update(bytes);
        return hasher.finalize();
    }
    std::vector<format::MerkleHash> leaves;
    for (uint64_t block = 0; block * format::FILE_BLOCK_SIZE < bytes.size(); ++block) {
        leaves.push_back(format::leaf_hash(
            block,
            bytes.subspan(block * format::FILE_BLOCK_SIZE, format::file_block_len(bytes.size(), block))));
    }
    return format::merkle_file_id(std::move(leaves), bytes.size());
}

StoredFile generate_store(const fs::path& root, format::FormatVersion version, uint64_t length,
                          uint64_t files) {
    const auto summary = gen::generate({
        .root = root,
        .max_files = files,
        .sampler = gen::SizeSampler::from_seed(gen::SizeSpec{gen::SizeSpec::Fixed{length}}, {}),
        .jobs = 1,
        .version = version,
    });
    if (!summary) throw std::runtime_error("generation failed: " + base::error_chain(summary.error()));

    StoredFile file;
    file.id = summary->tip;
    file.path = format::store_path_of(root, file.id);
    file.bytes = read_file(file.path);
    format::HeaderBytes header;
    std::copy_n(file.bytes.begin(), header.size(), header.begin());
    const format::RawHeader raw(header);
    file.parent = raw.parent();
    file.seed = raw.content_seed();
    return file;
}

std::vector<fs::path> content_files(const fs::path& root) {
    std::vector<fs::path> files;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        if (it->path() == root / ".metadata") {
            it.disable_recursion_pending();
        } else if (it->is_regular_file()) {
            files.push_back(it->path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<std::string> temporary_files(const fs::path& root) {
    std::vector<std::string> found;
    std::error_code error;
    for (const auto& e : fs::directory_iterator(root, error)) {
        const std::string name = e.path().filename();
        if (name.size() == 24 && name.find_first_not_of("0123456789abcdef") == std::string::npos)
            found.push_back(name);
    }
    return found;
}

std::string header_lines(std::string_view shown_dir, std::string_view chunk) {
    return "Verifying file contents in: " + std::string(shown_dir) +
           "\nAnalysis chunk size: " + std::string(chunk) + " bytes\n";
}

fs::path make_deep_dirs(const fs::path& top, int levels, base::UniqueFd& deepest,
                        const std::function<std::string(int)>& name_of) {
    deepest = base::UniqueFd(::open(top.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!deepest.valid()) throw std::runtime_error("cannot open " + top.string());
    std::string path = top.string();
    for (int level = 0; level < levels; ++level) {
        const std::string name = name_of ? name_of(level) : std::string(250, static_cast<char>('a' + level));
        if (::mkdirat(deepest.get(), name.c_str(), 0755) != 0) throw std::runtime_error("mkdirat failed");
        deepest = base::UniqueFd(::openat(deepest.get(), name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!deepest.valid()) throw std::runtime_error("openat failed");
        path += "/" + name;
    }
    return path;
}

void kro_gen_store(const fs::path& root, int files, std::string_view size, std::string_view seed) {
    const KroResult gen = run_kro({"gen", "--directory", root.string(), "--max-files", std::to_string(files),
                                   "--file-size", std::string(size), "--seed", std::string(seed)});
    if (gen.status != 0) throw std::runtime_error("kro gen failed: " + gen.err);
}

}  // namespace kro::test
