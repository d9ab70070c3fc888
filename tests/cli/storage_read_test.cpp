// Verification reads the storage, not the page cache. Each case makes a small ext4 file system
// on a loop device, generates a store into it, and damages a content file on the device beneath
// the mounted file system, so that the pages cached from the writing run still hold the sound
// bytes. No case drops any cache itself: kro must find the damage on its own. Skipped where loop
// devices or mounts are not available.

#include <fcntl.h>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "base/fd.hpp"
#include "base/page_buffer.hpp"
#include "content_fixture.hpp"
#include "kro_process.hpp"
#include "support/scratch_dir.hpp"

namespace kro::test {
namespace {

namespace fs = std::filesystem;

// The output of a shell command and its exit status.
struct Shell {
    std::string out;
    int status;
};

Shell shell(const std::string& command) {
    Shell result{"", -1};
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return result;
    char chunk[512];
    while (::fgets(chunk, sizeof chunk, pipe) != nullptr) result.out += chunk;
    result.status = ::pclose(pipe);
    return result;
}

std::string quoted(const fs::path& path) {
    return "'" + path.string() + "'";
}

// An ext4 file system in an image file of the scratch directory, on a loop device of its own,
// mounted below the scratch directory. Unmounted and detached when it goes.
class LoopFileSystem {
  public:
    // Nothing, with `why` set, where this machine cannot do it.
    static std::optional<LoopFileSystem> make(const fs::path& dir, std::string& why) {
        if (::geteuid() != 0) {
            why = "loop devices and mounts need root";
            return std::nullopt;
        }
        const fs::path image = dir / "ext4.img";
        const fs::path mount_point = dir / "mnt";
        fs::create_directory(mount_point);
        {
            std::ofstream(image).close();
            fs::resize_file(image, 64 << 20);
        }
        if (const Shell mkfs = shell("mkfs.ext4 -q -F " + quoted(image)); mkfs.status != 0) {
            why = "mkfs.ext4 is not available: " + mkfs.out;
            return std::nullopt;
        }
        const Shell loop = shell("losetup --find --show " + quoted(image));
        if (loop.status != 0 || loop.out.empty()) {
            why = "no loop device: " + loop.out;
            return std::nullopt;
        }
        LoopFileSystem made(image, mount_point, loop.out.substr(0, loop.out.find('\n')));
        if (const Shell mount = shell("mount -t ext4 " + made.device_ + " " + quoted(mount_point));
            mount.status != 0) {
            why = "mounting a loop device failed: " + mount.out;
            return std::nullopt;
        }
        made.mounted_ = true;
        return made;
    }

    LoopFileSystem(LoopFileSystem&& other) noexcept
        : image_(std::move(other.image_)),
          mount_point_(std::move(other.mount_point_)),
          device_(std::exchange(other.device_, "")),
          mounted_(std::exchange(other.mounted_, false)) {}
    LoopFileSystem& operator=(LoopFileSystem&&) = delete;

    ~LoopFileSystem() {
        if (mounted_) shell("umount " + quoted(mount_point_) + " || umount -l " + quoted(mount_point_));
        if (!device_.empty()) shell("losetup -d " + device_);
    }

    const fs::path& mount_point() const { return mount_point_; }

    // Keeps every cached page: only a remount, never an unmount.
    void remount_read_only() const {
        ASSERT_EQ(shell("mount -o remount,ro " + quoted(mount_point_)).status, 0);
    }

    // Overwrites `length` bytes of `file` at `offset` (both multiples of 4096) with random bytes,
    // on the device beneath the file system; the file system's cache is not told. Where the
    // kernel refuses writes to a mounted device, the image file under the device takes them.
    void damage_beneath(const fs::path& file, uint64_t offset, size_t length) const {
        const uint64_t at = physical_offset(file, offset);
        base::PageBuffer bytes(length);
        std::mt19937 random(7);
        std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<uint8_t>(random()); });
        base::UniqueFd device(::open(device_.c_str(), O_WRONLY | O_DIRECT | O_CLOEXEC));
        if (!device.valid()) device = base::UniqueFd(::open(image_.c_str(), O_WRONLY | O_DIRECT | O_CLOEXEC));
        ASSERT_TRUE(device.valid()) << device_ << ": " << std::strerror(errno);
        ASSERT_EQ(::pwrite(device.get(), bytes.data(), length, static_cast<off_t>(at)),
                  static_cast<ssize_t>(length));
    }

  private:
    LoopFileSystem(fs::path image, fs::path mount_point, std::string device)
        : image_(std::move(image)), mount_point_(std::move(mount_point)), device_(std::move(device)) {}

    // Where byte `offset` of `file` lies on the device. The file's data is written out first:
    // otherwise it may have no place on the device yet.
    static uint64_t physical_offset(const fs::path& file, uint64_t offset) {
        const base::UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
        EXPECT_TRUE(fd.valid()) << file;
        constexpr uint32_t MAX_EXTENTS = 64;
        std::vector<uint64_t> room((sizeof(struct fiemap) + MAX_EXTENTS * sizeof(struct fiemap_extent)) / 8 +
                                   1);
        auto* map = reinterpret_cast<struct fiemap*>(room.data());
        map->fm_start = 0;
        map->fm_length = FIEMAP_MAX_OFFSET;
        map->fm_flags = FIEMAP_FLAG_SYNC;
        map->fm_extent_count = MAX_EXTENTS;
        EXPECT_EQ(::ioctl(fd.get(), FS_IOC_FIEMAP, map), 0) << std::strerror(errno);
        for (uint32_t i = 0; i < map->fm_mapped_extents; ++i) {
            const struct fiemap_extent& extent = map->fm_extents[i];
            if (offset >= extent.fe_logical && offset < extent.fe_logical + extent.fe_length) {
                return extent.fe_physical + (offset - extent.fe_logical);
            }
        }
        ADD_FAILURE() << "no extent holds byte " << offset << " of " << file;
        return 0;
    }

    fs::path image_;
    fs::path mount_point_;
    std::string device_;
    bool mounted_ = false;
};

// The bytes this process and the children it has waited for made the kernel read from storage.
uint64_t storage_bytes_read() {
    std::ifstream io("/proc/self/io");
    std::string line;
    while (std::getline(io, line)) {
        if (line.starts_with("read_bytes: ")) return std::stoull(line.substr(12));
    }
    return 0;
}

class StorageRead : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        auto made = LoopFileSystem::make(dir_.path(), why);
        if (!made) GTEST_SKIP() << "skipped: " << why;
        loop_.emplace(std::move(*made));
    }

    fs::path store() const { return loop_->mount_point() / "store"; }

    void gen(const std::string& format) const {
        const KroResult gen = run_kro({"gen", "--directory", store().string(), "--max-files", "4",
                                       "--file-size", "4MB", "--format", format, "--jobs", "2"});
        ASSERT_EQ(gen.status, 0) << gen.err;
    }

    KroResult verify(int jobs) const {
        return run_kro({"verify", "--directory", store().string(), "--jobs", std::to_string(jobs)});
    }

    kro::testing::ScratchDir dir_;
    std::optional<LoopFileSystem> loop_;
};

// Damage on the device in the second block of one file, and elsewhere in block 0 of another.
TEST_F(StorageRead, DamageBeneathTheFileSystemIsFoundThoughTheSoundBytesAreCached) {
    struct Case {
        std::string format;
        int jobs;
    };
    for (const Case& c : {Case{"v3", 1}, Case{"v3", 8}, Case{"v2", 1}, Case{"v2", 8}}) {
        SCOPED_TRACE(c.format + " --jobs " + std::to_string(c.jobs));
        fs::remove_all(store());
        gen(c.format);
        ASSERT_EQ(verify(c.jobs).status, 0);  // and every page of the store is cached now
        const std::vector<fs::path> files = content_files(store());
        ASSERT_EQ(files.size(), 4u);
        loop_->damage_beneath(files[1], 1 << 20, 65536);
        const KroResult damaged = verify(c.jobs);
        EXPECT_EQ(damaged.status, 1) << damaged.err;
        EXPECT_NE(damaged.err.find(files[1].string()), std::string::npos) << damaged.err;
        EXPECT_NE(damaged.out.find("Status: CONTENT CORRUPTED"), std::string::npos) << damaged.out;
        // Exactly that file: its finding, and nothing about the others.
        EXPECT_EQ(std::count(damaged.err.begin(), damaged.err.end(), '\n'), 1) << damaged.err;
    }
}

TEST_F(StorageRead, AReadOnlyMountIsReadFromTheDeviceToo) {
    gen("v3");
    const std::vector<fs::path> files = content_files(store());
    ASSERT_EQ(files.size(), 4u);
    loop_->damage_beneath(files[2], 8192, 4096);
    loop_->remount_read_only();
    const KroResult damaged = verify(4);
    EXPECT_EQ(damaged.status, 1) << damaged.err;
    EXPECT_NE(damaged.err.find(files[2].string()), std::string::npos) << damaged.err;
}

TEST_F(StorageRead, ShowVerifyChecksumReadsTheDeviceToo) {
    gen("v3");
    const std::vector<fs::path> files = content_files(store());
    ASSERT_EQ(files.size(), 4u);
    const KroResult sound = run_kro({"dev", "show", "--verify-checksum", files[0].string()});
    ASSERT_EQ(sound.status, 0) << sound.err;
    loop_->damage_beneath(files[0], 3 << 20, 4096);
    const KroResult damaged = run_kro({"dev", "show", "--verify-checksum", files[0].string()});
    EXPECT_EQ(damaged.status, 1) << damaged.out;
}

TEST_F(StorageRead, VerifyRightAfterGenChecksWhatReachedTheDevice) {
    // No sync between the runs: what gen left dirty in the cache is written back and read again.
    gen("v3");
    uint64_t content = 0;
    for (const fs::path& file : content_files(store())) content += fs::file_size(file);
    const uint64_t before = storage_bytes_read();
    const KroResult sound = verify(8);
    const uint64_t read = storage_bytes_read() - before;
    EXPECT_EQ(sound.status, 0) << sound.err;
    EXPECT_GE(read, content);
    // A second run reads the device again: the first left nothing of the store cached.
    const uint64_t again = storage_bytes_read();
    EXPECT_EQ(verify(1).status, 0);
    EXPECT_GE(storage_bytes_read() - again, content);
}

// Where the file system takes none of the advice (a preloaded library fails every call of it),
// the report is the same, word for word.
TEST(StorageReadAdvice, FailingAdviceChangesNothing) {
    const kro::testing::ScratchDir dir;
    const fs::path store = dir / "store";
    kro_gen_store(store, 3, "3MB", "advice");
    const std::vector<fs::path> files = content_files(store);
    ASSERT_EQ(files.size(), 3u);
    overwrite(files[1], 2 << 20, std::vector<uint8_t>(5000, 0));
    const auto with_failing_advice = [](std::vector<std::string> args) {
        KroRun run;
        run.args = std::move(args);
        run.env = shim_env({{"KRO_FAILING_CALLS", "cache-advice"}});
        return run_kro(run);
    };
    for (const std::string jobs : {"1", "8"}) {
        const std::vector<std::string> args = {"verify", "--directory", store.string(), "--jobs", jobs};
        const KroResult plain = run_kro(args);
        const KroResult failing = with_failing_advice(args);
        EXPECT_EQ(plain.status, 1) << jobs;
        EXPECT_EQ(failing.status, plain.status) << jobs;
        EXPECT_EQ(failing.out, plain.out) << jobs;
        EXPECT_EQ(failing.err, plain.err) << jobs;
    }
    const std::vector<std::string> show = {"dev", "show", "--verify-checksum", files[1].string()};
    const KroResult plain = run_kro(show);
    const KroResult failing = with_failing_advice(show);
    EXPECT_EQ(plain.status, 1);
    EXPECT_EQ(failing.status, plain.status);
    EXPECT_EQ(failing.out, plain.out);
    EXPECT_EQ(failing.err, plain.err);
}

}  // namespace
}  // namespace kro::test
