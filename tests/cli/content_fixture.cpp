#include "content_fixture.hpp"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

#include "base/error.hpp"
#include "format/store_path.hpp"
#include "gen/generate.hpp"
#include "kro_process.hpp"

namespace kro::test {

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "kro-cli-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = fs::canonical(pattern);
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

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
    gen::GenerateOptions options(root);
    options.max_files = files;
    options.version = version;
    options = std::move(options)
                  .size_sampler(gen::SizeSampler::from_seed(gen::SizeSpec{gen::SizeSpec::Fixed{length}}, {}))
                  .with_jobs(1);
    const auto summary = gen::generate(std::move(options));
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

void kro_gen_store(const fs::path& root, int files, std::string_view size, std::string_view seed) {
    const KroResult gen = run_kro({"gen", "--directory", root.string(), "--max-files", std::to_string(files),
                                   "--file-size", std::string(size), "--seed", std::string(seed)});
    if (gen.status != 0) throw std::runtime_error("kro gen failed: " + gen.err);
}

std::vector<uint8_t> read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const fs::path& path, std::span<const uint8_t> bytes) {
    write_file(path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

void write_file(const fs::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

void overwrite(const fs::path& path, uint64_t offset, std::string_view bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot open " + path.string());
    const ssize_t written = ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    ::close(fd);
    if (written != static_cast<ssize_t>(bytes.size()))
        throw std::runtime_error("cannot write " + path.string());
}

void append(const fs::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot append to " + path.string());
}

}  // namespace kro::test
