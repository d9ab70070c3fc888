// How the device read and the hashing of cold verification overlap, one way of reading against
// another, in one interleaved run. It re-creates the v3 lane loop (read a 1 MiB block, squeeze
// its expected content, compare, hash its leaf; the Merkle ID at the end, checked against the
// file's name) over a store of large v3 files with the layout the scheduler gives them, and the
// v2 pipeline (R readers claiming blocks from one counter into a pool of Q buffers, the calling
// thread hashing in block order) over a store of one v2 file, with a selectable way of reading:
// buffered reads with the storage calls of today (write back and drop at open, drop-behind of
// every block), plus read-ahead advice, plus reads issued ahead into more buffers (a reader
// thread per lane, or io_uring), O_DIRECT alone and with reads issued ahead, block buffers on
// transparent huge pages, and lanes that join other files once their own is done. Beside them,
// in the same rounds: the hot-cache floor of each loop, bare cold reads (buffered and O_DIRECT,
// 8 at once), and whatever commands are given (a built kro, dd, f3read).
//
// Every cold case starts after `sync` and a drop of the whole page cache, so it needs root.
// Rounds run every case once, in an order shuffled per round, so that a busy spell of the
// machine spreads over all of them. The table gives per case the median wall time, CPU time,
// the steal time of the machine's CPUs, the time its hashing lanes waited for reads (summed
// over the lanes), and its ratio to the larger of its loop's floor and the fastest device read
// of the same round, as the median over rounds (target 0.9 and more).
//
// usage: read_overlap_bench --v3 DIR [--v3-one DIR] [--v2 DIR] [--kro PATH] [--baseline PATH]
//                           [--f3 DIR] [--rounds N] [--only NAME,...] [--hot] [--trace] [--settle S]
//                           [--list]
// --v3 is a store of equal v3 files verified at 8 lanes (one file a worker when there are 8, as
// head files) and on 1 thread; --v3-one a store of one v3 file shared by 8 lanes (a tail file:
// its lanes claim blocks from one counter); --v2 a store of one v2 file at 8 lanes. --hot skips
// the cache drops (a memory file system, whose pages are its storage); --trace prints each
// lane's waits; --settle waits S seconds after each drop; --list names the cases.

#include <fcntl.h>
#if KRO_HAVE_URING
#include <liburing.h>
#endif
#include <linux/magic.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/page_buffer.hpp"
#include "format/content.hpp"
#include "format/digest.hpp"
#include "format/file_id.hpp"
#include "format/header.hpp"
#include "format/store_path.hpp"

namespace {

namespace fs = std::filesystem;
using namespace kro;

constexpr uint64_t MIB = format::FILE_BLOCK_SIZE;
constexpr uint64_t ALIGN = base::PAGE_ALIGNMENT;
// Uncached buffered reads (Linux 6.14 on): the kernel drops the pages a read brought in once
// they are copied out; older headers lack the flag.
constexpr int READ_DONTCACHE = 0x00000080;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "read_overlap_bench: %s\n", what.c_str());
    std::exit(1);
}

uint64_t round_up(uint64_t n, uint64_t to) {
    return (n + to - 1) / to * to;
}

// ---------------------------------------------------------------------------------------------
// Ways of reading

enum class Io { Buffered, Direct };
enum class Ahead { None, Thread, Uring };
enum class Drop { None, PerBlock, DontCache };

struct Way {
    Io io = Io::Buffered;
    Ahead ahead = Ahead::None;
    unsigned buffers = 1;  // per lane: the block being hashed and buffers - 1 reads issued ahead
    unsigned advise = 0;   // blocks of POSIX_FADV_WILLNEED ahead of the highest block claimed
    Drop drop = Drop::PerBlock;
    bool storage_calls = true;  // write back and drop at open, drop at close
    bool cold = true;           // false: the hot-cache floor, nothing dropped before the run
    // On a memory file system O_DIRECT is tried all the same (else buffered reads, no calls).
    bool direct_on_memory = false;
    // Reads cover whole file blocks from offset 0 (v2 only; v3 reads always do).
    bool aligned = true;
    // Block buffers on transparent huge pages: a 1 MiB block is then one physically contiguous
    // segment, one device request for an O_DIRECT read.
    bool huge = false;
    // Lanes sharing a counter claim runs of this many consecutive blocks, and advise each run
    // whole (WILLNEED) when they claim it, so that one lane's reads stay sequential.
    unsigned claim_run = 1;
};

// One file as a lane sees it.
struct OpenFile {
    int fd = -1;
    uint64_t length = 0;
    bool memory = false;  // its memory is its storage: no calls, no O_DIRECT
    bool direct = false;  // opened with O_DIRECT and not fallen back
    bool calls = false;   // advice and drops are asked for
};

bool is_memory_file_system(int fd) {
    struct statfs st {};
    if (::fstatfs(fd, &st) != 0) return false;
    return st.f_type == TMPFS_MAGIC || st.f_type == RAMFS_MAGIC;
}

OpenFile open_file(const fs::path& path, const Way& way) {
    OpenFile file;
    file.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file.fd < 0) fail("opening " + path.native());
    struct stat st {};
    if (::fstat(file.fd, &st) != 0) fail("fstat");
    file.length = static_cast<uint64_t>(st.st_size);
    file.memory = is_memory_file_system(file.fd);
    file.calls = way.storage_calls && !file.memory;
    if (file.calls) {
        (void)::sync_file_range(
            file.fd, 0, 0, SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
        (void)::posix_fadvise(file.fd, 0, 0, POSIX_FADV_DONTNEED);
    }
    if (way.io == Io::Direct && (!file.memory || way.direct_on_memory)) {
        // Switched on the open descriptor: a file system that refuses it says EINVAL here and
        // is read buffered.
        const int flags = ::fcntl(file.fd, F_GETFL);
        file.direct = flags >= 0 && ::fcntl(file.fd, F_SETFL, flags | O_DIRECT) == 0;
    }
    return file;
}

void close_file(OpenFile& file) {
    if (file.calls) (void)::posix_fadvise(file.fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(file.fd);
    file.fd = -1;
}

// A block buffer of a lane and the read that fills it.
struct Slot {
    base::PageBuffer buf{MIB};
    uint8_t* data = buf.data();  // buf, or a block of a huge-page arena
    uint64_t block = 0;
    uint64_t offset = 0;
    size_t len = 0;
    ssize_t got = 0;
    bool done = false;
};

// One read as the way does it, on whatever thread calls it. A direct read asks for whole pages
// (the tail past the end of the file reads short); one the file system refuses falls back to a
// buffered read, and the descriptor stays buffered.
ssize_t read_block(OpenFile& file, const Way& way, Slot& slot) {
    if (file.direct) {
        const ssize_t n =
            ::pread(file.fd, slot.data, round_up(slot.len, ALIGN), static_cast<off_t>(slot.offset));
        if (n >= 0 || errno != EINVAL)
            return n < 0 ? -errno : std::min<ssize_t>(n, static_cast<ssize_t>(slot.len));
        const int flags = ::fcntl(file.fd, F_GETFL);
        (void)::fcntl(file.fd, F_SETFL, flags & ~O_DIRECT);
        file.direct = false;
    }
    size_t done = 0;
    while (done < slot.len) {
        ssize_t n;
        if (way.drop == Drop::DontCache && file.calls) {
            iovec v{slot.data + done, slot.len - done};
            n = ::preadv2(file.fd, &v, 1, static_cast<off_t>(slot.offset + done), READ_DONTCACHE);
        } else {
            n = ::pread(file.fd, slot.data + done, slot.len - done, static_cast<off_t>(slot.offset + done));
        }
        if (n < 0) {
            if (errno == EINTR) continue;
            return -errno;
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    if (way.drop == Drop::PerBlock && file.calls && done >= MIB)
        (void)::posix_fadvise(file.fd, static_cast<off_t>(slot.offset), static_cast<off_t>(done),
                              POSIX_FADV_DONTNEED);
    return static_cast<ssize_t>(done);
}

// Issues and completes the reads of one lane. Reads complete in the order issued.
class Reader {
  public:
    virtual ~Reader() = default;
    virtual void submit(OpenFile& file, Slot& slot) = 0;
    virtual void wait(Slot& slot) = 0;
};

class SyncReader final : public Reader {
  public:
    explicit SyncReader(const Way& way) : way_(way) {}
    void submit(OpenFile& file, Slot& slot) override {
        file_ = &file;
        slot.done = false;
    }
    void wait(Slot& slot) override {
        if (!slot.done) slot.got = read_block(*file_, way_, slot);
        slot.done = true;
    }

  private:
    const Way& way_;
    OpenFile* file_ = nullptr;
};

// A thread of its own reads what the lane asks for, in order.
class ThreadReader final : public Reader {
  public:
    explicit ThreadReader(const Way& way) : way_(way), thread_([this] { run(); }) {}
    ~ThreadReader() override {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    void submit(OpenFile& file, Slot& slot) override {
        {
            std::lock_guard lock(mutex_);
            slot.done = false;
            queue_.push_back({&file, &slot});
        }
        wake_.notify_all();
    }
    void wait(Slot& slot) override {
        std::unique_lock lock(mutex_);
        done_.wait(lock, [&] { return slot.done; });
    }

  private:
    void run() {
        std::unique_lock lock(mutex_);
        while (true) {
            wake_.wait(lock, [&] { return stop_ || !queue_.empty(); });
            if (queue_.empty()) return;
            auto [file, slot] = queue_.front();
            queue_.pop_front();
            lock.unlock();
            const ssize_t got = read_block(*file, way_, *slot);
            lock.lock();
            slot->got = got;
            slot->done = true;
            done_.notify_all();
        }
    }

    const Way& way_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::deque<std::pair<OpenFile*, Slot*>> queue_;
    bool stop_ = false;
    std::thread thread_;
};

#if KRO_HAVE_URING
// io_uring on the lane's own thread: the reads ahead are in flight while it hashes.
class UringReader final : public Reader {
  public:
    UringReader(const Way& way, unsigned depth) : way_(way) {
        if (int e = io_uring_queue_init(std::max(depth, 2u), &ring_, 0); e < 0) fail("io_uring_queue_init");
    }
    ~UringReader() override { io_uring_queue_exit(&ring_); }
    void submit(OpenFile& file, Slot& slot) override {
        slot.done = false;
        file_ = &file;
        io_uring_sqe* sqe = io_uring_get_sqe(&ring_);
        if (sqe == nullptr) fail("io_uring queue full");
        const size_t len = file.direct ? round_up(slot.len, ALIGN) : slot.len;
        io_uring_prep_read(sqe, file.fd, slot.data, static_cast<unsigned>(len), slot.offset);
        io_uring_sqe_set_data(sqe, &slot);
        if (io_uring_submit(&ring_) < 1) fail("io_uring_submit");
    }
    void wait(Slot& slot) override {
        while (!slot.done) {
            io_uring_cqe* cqe = nullptr;
            if (int e = io_uring_wait_cqe(&ring_, &cqe); e < 0) {
                if (e == -EINTR) continue;
                fail("io_uring_wait_cqe");
            }
            auto* s = static_cast<Slot*>(io_uring_cqe_get_data(cqe));
            s->got = cqe->res;
            s->done = true;
            io_uring_cqe_seen(&ring_, cqe);
            finish(*s);
        }
    }

  private:
    // A short or refused read is done again synchronously; drop-behind as the way says.
    void finish(Slot& s) {
        if (s.got == -EINVAL || (s.got >= 0 && static_cast<size_t>(s.got) < s.len)) {
            s.got = read_block(*file_, way_, s);
            return;
        }
        if (s.got > static_cast<ssize_t>(s.len)) s.got = static_cast<ssize_t>(s.len);
        if (!file_->direct && way_.drop == Drop::PerBlock && file_->calls &&
            s.got >= static_cast<ssize_t>(MIB))
            (void)::posix_fadvise(file_->fd, static_cast<off_t>(s.offset), s.got, POSIX_FADV_DONTNEED);
    }

    const Way& way_;
    io_uring ring_{};
    OpenFile* file_ = nullptr;
};

#endif

std::unique_ptr<Reader> make_reader(const Way& way) {
    switch (way.ahead) {
        case Ahead::Thread:
            return std::make_unique<ThreadReader>(way);
        case Ahead::Uring:
#if KRO_HAVE_URING
            return std::make_unique<UringReader>(way, way.buffers);
#else
            fail("built without io_uring");
#endif
        case Ahead::None:
            break;
    }
    return std::make_unique<SyncReader>(way);
}

// Read-ahead advice for blocks claimed from one counter: whoever claims block b asks for the
// blocks up to b + k that nobody asked for yet, so that every block is advised once.
void advise_ahead(const OpenFile& file, const Way& way, std::atomic<uint64_t>& advised, uint64_t block,
                  uint64_t blocks, uint64_t first_offset) {
    if (way.advise == 0 || !file.calls || file.direct) return;
    const uint64_t until = std::min(block + 1 + way.advise, blocks);
    uint64_t from = advised.load(std::memory_order_relaxed);
    while (from < until && !advised.compare_exchange_weak(from, until, std::memory_order_relaxed)) {
    }
    if (from >= until) return;
    from = std::max(from, block + 1);
    if (from >= until) return;
    const uint64_t start = first_offset + from * MIB;
    const uint64_t end = std::min(first_offset + until * MIB, file.length);
    if (end > start)
        (void)::posix_fadvise(file.fd, static_cast<off_t>(start), static_cast<off_t>(end - start),
                              POSIX_FADV_WILLNEED);
}

// ---------------------------------------------------------------------------------------------
// Where a lane's time goes, when asked for (--trace): how long it waited for its reads, how long
// its first read took, when it ended, all from the start of the case.

using Clock = std::chrono::steady_clock;
bool trace = false;  // per-lane lines; the summed waits are always kept
Clock::time_point case_start;
std::mutex trace_mutex;
struct LaneTrace {
    double first_read;
    double waited;
    double ended;
    uint64_t blocks;
};
std::vector<LaneTrace> traces;

double since(Clock::time_point from) {
    return std::chrono::duration<double>(Clock::now() - from).count();
}

// ---------------------------------------------------------------------------------------------
// v3: the lane loop

struct V3File {
    fs::path path;
    format::FileId expected_id;
    OpenFile file;
    std::optional<format::Header> header;
    uint64_t blocks = 0;
    std::atomic<uint64_t> next{0};
    std::atomic<uint64_t> advised{0};
    std::vector<format::MerkleHash> leaves;
    std::atomic<bool> equal{true};
    // Lanes at work on the file, when lanes may join files other than their own.
    std::mutex lanes_mutex;
    bool opened = false;
    bool closed = false;
    unsigned active = 0;
};

void open_v3(V3File& f, const Way& way) {
    f.file = open_file(f.path, way);
    // The header as the first page of the file (a whole page, which O_DIRECT also takes).
    base::PageBuffer page(ALIGN);
    if (::pread(f.file.fd, page.data(), ALIGN, 0) < static_cast<ssize_t>(format::HEADER_LEN))
        fail("header read");
    f.header.emplace(*format::Header::parse(page.span().first(format::HEADER_LEN)));
    f.blocks = format::v3_leaf_count(f.file.length);
    f.next = 0;
    f.advised = 0;
    f.equal = true;
    f.leaves.assign(f.blocks, {});
}

void close_v3(V3File& f) {
    close_file(f.file);
    const format::FileId id = format::merkle_file_id(std::move(f.leaves), f.file.length);
    if (id != f.expected_id || !f.equal) fail("a v3 file did not verify: " + f.path.native());
}

// What one lane keeps from file to file.
struct LaneScratch {
    explicit LaneScratch(const Way& way) : slots(way.buffers), reader(make_reader(way)) {
        if (!way.huge) return;
        const size_t huge_page = 2 * MIB;
        arena_len = round_up(slots.size() * MIB, huge_page) + huge_page;
        arena = ::mmap(nullptr, arena_len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (arena == MAP_FAILED) fail("mmap of the huge-page arena");
        auto* start = reinterpret_cast<uint8_t*>(round_up(reinterpret_cast<uintptr_t>(arena), huge_page));
        (void)::madvise(start, arena_len - huge_page, MADV_HUGEPAGE);
        std::memset(start, 0, arena_len - huge_page);
        if (trace) {
            std::FILE* f = std::fopen("/proc/self/smaps_rollup", "r");
            char line[256];
            while (f != nullptr && std::fgets(line, sizeof line, f) != nullptr) {
                if (std::strncmp(line, "AnonHugePages:", 14) == 0) std::fprintf(stderr, "    %s", line);
            }
            if (f != nullptr) std::fclose(f);
        }
        for (size_t i = 0; i < slots.size(); ++i) slots[i].data = start + i * MIB;
    }
    ~LaneScratch() {
        if (arena != nullptr) ::munmap(arena, arena_len);
    }
    LaneScratch(const LaneScratch&) = delete;
    LaneScratch& operator=(const LaneScratch&) = delete;
    void* arena = nullptr;
    size_t arena_len = 0;
    base::PageBuffer expected{MIB};
    format::Shake128 sponge;
    std::vector<Slot> slots;
    std::unique_ptr<Reader> reader;
};

// One lane over one file: claims blocks (the next one before the current one is hashed, when a
// read is issued ahead), reads, compares and hashes them until none is left.
void v3_lane(V3File& f, const Way& way, LaneScratch& lane) {
    uint64_t run_next = 0, run_end = 0;
    const auto claim = [&]() -> std::optional<uint64_t> {
        if (way.claim_run > 1) {
            if (run_next >= run_end) {
                run_next = f.next.fetch_add(way.claim_run, std::memory_order_relaxed);
                if (run_next >= f.blocks) return std::nullopt;
                run_end = std::min<uint64_t>(run_next + way.claim_run, f.blocks);
                if (f.file.calls && !f.file.direct) {
                    const uint64_t end = std::min(run_end * MIB, f.file.length);
                    (void)::posix_fadvise(f.file.fd, static_cast<off_t>(run_next * MIB),
                                          static_cast<off_t>(end - run_next * MIB), POSIX_FADV_WILLNEED);
                }
            }
            return run_next++;
        }
        const uint64_t b = f.next.fetch_add(1, std::memory_order_relaxed);
        if (b >= f.blocks) return std::nullopt;
        advise_ahead(f.file, way, f.advised, b, f.blocks, 0);
        return b;
    };
    const auto issue = [&](Slot& slot, uint64_t b) {
        slot.block = b;
        slot.offset = b * MIB;
        slot.len = static_cast<size_t>(format::file_block_len(f.file.length, b));
        lane.reader->submit(f.file, slot);
    };
    std::deque<Slot*> in_flight;
    for (Slot& slot : lane.slots) {
        const auto b = claim();
        if (!b) break;
        issue(slot, *b);
        in_flight.push_back(&slot);
    }
    bool equal = true;
    double waited = 0, first_read = -1;
    uint64_t done = 0;
    while (!in_flight.empty()) {
        Slot& slot = *in_flight.front();
        in_flight.pop_front();
        const auto before = Clock::now();
        lane.reader->wait(slot);
        {
            waited += since(before);
            if (first_read < 0) first_read = since(case_start);
            ++done;
        }
        if (slot.got != static_cast<ssize_t>(slot.len))
            fail("a block read short or failed: " + f.path.native());
        const uint64_t b = slot.block;
        const size_t skip = b == 0 ? format::HEADER_LEN : 0;
        const auto want = lane.expected.span().first(slot.len - skip);
        format::fill_content_block(lane.sponge, format::FormatVersion::V3, f.header->seed(), b, want);
        equal = equal && std::memcmp(slot.data + skip, want.data(), want.size()) == 0;
        f.leaves[b] = format::leaf_hash(b, std::span<const uint8_t>(slot.data, slot.len));
        if (const auto nb = claim()) {
            issue(slot, *nb);
            in_flight.push_back(&slot);
        }
    }
    if (!equal) f.equal = false;
    {
        std::lock_guard lock(trace_mutex);
        traces.push_back({first_read, waited, since(case_start), done});
    }
}

enum class Layout {
    PerFile,     // J workers, one file and one lane each (the head group when files == jobs)
    OneThread,   // a budget of one: every file in order on one thread, one lane
    SharedFile,  // one file, 8 lanes sharing its block counter (a tail file)
    Sharing,     // as PerFile, and a worker whose file is done joins the lanes of the file with the
                 // most blocks left, claiming from its counter; the last lane to leave closes it
};

bool join_lanes(V3File& f) {
    std::lock_guard lock(f.lanes_mutex);
    if (!f.opened || f.closed || f.next.load(std::memory_order_relaxed) >= f.blocks) return false;
    ++f.active;
    return true;
}

void leave_lanes(V3File& f) {
    bool last;
    {
        std::lock_guard lock(f.lanes_mutex);
        last = --f.active == 0 && !f.closed;
        if (last) f.closed = true;
    }
    if (last) close_v3(f);
}

void run_v3(const std::vector<fs::path>& paths, Layout layout, const Way& way) {
    std::vector<std::unique_ptr<V3File>> files;
    for (const auto& p : paths) {
        auto f = std::make_unique<V3File>();
        f->path = p;
        f->expected_id = *format::parse_content_path(p);
        files.push_back(std::move(f));
    }
    std::vector<std::thread> threads;
    switch (layout) {
        case Layout::PerFile:
            for (auto& f : files) {
                threads.emplace_back([&way, &f] {
                    LaneScratch lane(way);
                    open_v3(*f, way);
                    v3_lane(*f, way, lane);
                    close_v3(*f);
                });
            }
            break;
        case Layout::Sharing:
            for (auto& f : files) {
                threads.emplace_back([&way, &f, &files] {
                    LaneScratch lane(way);
                    open_v3(*f, way);
                    {
                        std::lock_guard lock(f->lanes_mutex);
                        f->opened = true;
                        f->active = 1;
                    }
                    v3_lane(*f, way, lane);
                    leave_lanes(*f);
                    while (true) {
                        V3File* most = nullptr;
                        uint64_t left = 0;
                        for (auto& other : files) {
                            const uint64_t next = other->next.load(std::memory_order_relaxed);
                            if (next < other->blocks && other->blocks - next > left) {
                                left = other->blocks - next;
                                most = other.get();
                            }
                        }
                        // A file left with fewer blocks than one lane hashes in a blink is not
                        // worth joining.
                        if (most == nullptr || left < 2) break;
                        if (!join_lanes(*most)) continue;
                        v3_lane(*most, way, lane);
                        leave_lanes(*most);
                    }
                });
            }
            break;
        case Layout::OneThread:
            threads.emplace_back([&] {
                LaneScratch lane(way);
                for (auto& f : files) {
                    open_v3(*f, way);
                    v3_lane(*f, way, lane);
                    close_v3(*f);
                }
            });
            break;
        case Layout::SharedFile: {
            V3File& f = *files.at(0);
            open_v3(f, way);
            for (int t = 0; t < 8; ++t) {
                threads.emplace_back([&] {
                    LaneScratch lane(way);
                    v3_lane(f, way, lane);
                });
            }
            for (auto& t : threads) t.join();
            threads.clear();
            close_v3(f);
            break;
        }
    }
    for (auto& t : threads) t.join();
}

// ---------------------------------------------------------------------------------------------
// v2: R readers into a pool of Q buffers, the calling thread hashing in block order

void run_v2(const fs::path& path, const Way& way, unsigned readers, unsigned buffers, bool hash) {
    OpenFile file = open_file(path, way);
    base::PageBuffer page(ALIGN);
    if (::pread(file.fd, page.data(), ALIGN, 0) < static_cast<ssize_t>(format::HEADER_LEN))
        fail("v2 header read");
    format::V2FileIdHasher hasher;
    // Today's reads start after the header; aligned ones cover whole file blocks from 0, the
    // header with them.
    const uint64_t start = way.aligned ? 0 : format::HEADER_LEN;
    if (!way.aligned) hasher.update(page.span().first(format::HEADER_LEN));
    const uint64_t body = file.length - start;
    const uint64_t blocks = (body + MIB - 1) / MIB;

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::unique_ptr<Slot>> all;
    std::vector<Slot*> free;
    for (unsigned i = 0; i < buffers; ++i) {
        all.push_back(std::make_unique<Slot>());
        free.push_back(all.back().get());
    }
    // The pool's blocks on huge pages, as a lane's are.
    std::optional<LaneScratch> arena;
    if (way.huge) {
        arena.emplace(Way{.buffers = buffers, .huge = true});
        for (unsigned i = 0; i < buffers; ++i) all[i]->data = arena->slots[i].data;
    }
    std::map<uint64_t, Slot*> ready;
    std::atomic<uint64_t> next{0};
    std::atomic<uint64_t> advised{0};
    std::vector<std::thread> threads;
    for (unsigned r = 0; r < readers; ++r) {
        threads.emplace_back([&] {
            while (true) {
                Slot* slot;
                {
                    std::unique_lock lock(mutex);
                    changed.wait(lock, [&] { return !free.empty(); });
                    slot = free.back();
                    free.pop_back();
                }
                const uint64_t b = next.fetch_add(1, std::memory_order_relaxed);
                if (b >= blocks) {
                    std::lock_guard lock(mutex);
                    free.push_back(slot);
                    changed.notify_all();
                    return;
                }
                advise_ahead(file, way, advised, b, blocks, start);
                slot->block = b;
                slot->offset = start + b * MIB;
                slot->len = static_cast<size_t>(std::min(body - b * MIB, MIB));
                slot->got = read_block(file, way, *slot);
                if (slot->got != static_cast<ssize_t>(slot->len)) fail("a v2 block read short or failed");
                std::lock_guard lock(mutex);
                ready.emplace(b, slot);
                changed.notify_all();
            }
        });
    }
    for (uint64_t b = 0; b < blocks; ++b) {
        Slot* slot;
        {
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return ready.contains(b); });
            slot = ready.extract(b).mapped();
        }
        if (hash) hasher.update(std::span<const uint8_t>(slot->data, slot->len));
        std::lock_guard lock(mutex);
        free.push_back(slot);
        changed.notify_all();
    }
    for (auto& t : threads) t.join();
    close_file(file);
    if (hash && hasher.finalize() != *format::parse_content_path(path)) fail("the v2 file did not verify");
}

// ---------------------------------------------------------------------------------------------
// Bare reads: every file read whole on its own thread, 1 MiB at a time, nothing hashed.

void bare_reads(const std::vector<fs::path>& paths, bool direct, bool huge = false) {
    std::vector<std::thread> threads;
    const Way way{.huge = huge};
    for (const auto& p : paths) {
        threads.emplace_back([&p, &way, direct] {
            const int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC | (direct ? O_DIRECT : 0));
            if (fd < 0) fail("opening for a bare read");
            LaneScratch lane(way);
            for (off_t at = 0;; at += static_cast<off_t>(MIB)) {
                const ssize_t n = ::pread(fd, lane.slots[0].data, MIB, at);
                if (n < 0) fail("a bare read failed");
                if (n < static_cast<ssize_t>(MIB)) break;
            }
            ::close(fd);
        });
    }
    for (auto& t : threads) t.join();
}

// ---------------------------------------------------------------------------------------------
// Cases and rounds

void drop_page_cache() {
    ::sync();
    const int fd = ::open("/proc/sys/vm/drop_caches", O_WRONLY | O_CLOEXEC);
    if (fd < 0 || ::write(fd, "3\n", 2) != 2) fail("dropping the page cache (needs root)");
    ::close(fd);
}

void run_command(const std::string& command) {
    const int status = std::system(("{ " + command + "; } >/dev/null 2>&1").c_str());
    if (status != 0) fail("command failed: " + command);
}

struct Case {
    std::string name;
    std::string group;  // v3x8, v3x1, v3one, v2
    bool cold;
    std::function<void()> run;
    bool floor = false;   // the group's CPU floor
    bool device = false;  // a device read of the group's bytes
};

std::vector<fs::path> content_files(const fs::path& root) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file() && format::parse_content_path(entry.path()))
            files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    if (files.empty()) fail("no content files under " + root.native());
    return files;
}

std::string quoted(const std::vector<fs::path>& paths) {
    std::string out;
    for (const auto& p : paths) out += " '" + p.native() + "'";
    return out;
}

Way buffered(unsigned advise = 0) {
    return Way{.advise = advise};
}
Way hot_floor() {
    return Way{.drop = Drop::None, .storage_calls = false, .cold = false};
}
Way ahead(Io io, Ahead how, unsigned buffers) {
    return Way{.io = io, .ahead = how, .buffers = buffers};
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    format::initialize_crypto();
    std::optional<fs::path> v3_dir, v3_one_dir, v2_dir, f3_dir;
    std::string kro;
    std::string baseline;
    int rounds = 5;
    bool list = false, all_hot = false;
    double settle = 0;
    std::set<std::string> only;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc) fail("missing value of " + a);
            return argv[++i];
        };
        // What the runner of every benchmark passes to all of them.
        if (a.starts_with("--benchmark_")) continue;
        if (a == "--v3")
            v3_dir = value();
        else if (a == "--v3-one")
            v3_one_dir = value();
        else if (a == "--v2")
            v2_dir = value();
        else if (a == "--f3")
            f3_dir = value();
        else if (a == "--kro")
            kro = value();
        else if (a == "--baseline")
            baseline = value();
        else if (a == "--rounds")
            rounds = std::stoi(value());
        else if (a == "--hot")
            all_hot = true;
        else if (a == "--list")
            list = true;
        else if (a == "--trace")
            trace = true;
        else if (a == "--settle")
            settle = std::stod(value());
        else if (a == "--only") {
            std::stringstream names(value());
            for (std::string n; std::getline(names, n, ',');) only.insert(n);
        } else {
            fail("unknown argument " + a);
        }
    }

    // The built kro, and the one it is compared with, each verifying every store.
    std::vector<std::pair<std::string, std::string>> kros;
    if (!kro.empty()) kros.emplace_back("kro-verify", kro);
    if (!baseline.empty()) kros.emplace_back("kro-baseline", baseline);

    // Each Way lives as long as the cases that refer to it.
    std::deque<Way> ways;
    const auto keep = [&](Way w) -> const Way& {
        if (all_hot) w.cold = false;
        return ways.emplace_back(w);
    };
    std::vector<Case> cases;
    const auto v3_case = [&](const std::string& name, const std::string& group,
                             const std::vector<fs::path>& files, Layout layout, Way w, bool floor = false) {
        const Way& way = keep(w);
        cases.push_back(
            {name, group, way.cold, [&way, files, layout] { run_v3(files, layout, way); }, floor});
    };

    if (v3_dir) {
        const auto files = content_files(*v3_dir);
        struct Named {
            std::string name;
            Way way;
        };
        std::vector<Named> eight = {
            {"today", buffered()},
            {"willneed1", buffered(1)},
            {"willneed2", buffered(2)},
            {"willneed4", buffered(4)},
            {"willneed8", buffered(8)},
            {"nodrop", Way{.drop = Drop::None}},
            {"dontcache", Way{.drop = Drop::DontCache}},
            {"thread2", ahead(Io::Buffered, Ahead::Thread, 2)},
            {"thread2+willneed4", Way{.ahead = Ahead::Thread, .buffers = 2, .advise = 4}},
            {"uring2", ahead(Io::Buffered, Ahead::Uring, 2)},
            {"direct", ahead(Io::Direct, Ahead::None, 1)},
            {"direct-thread2", ahead(Io::Direct, Ahead::Thread, 2)},
            {"direct-thread3", ahead(Io::Direct, Ahead::Thread, 3)},
            {"direct-uring2", ahead(Io::Direct, Ahead::Uring, 2)},
            {"direct-uring4", ahead(Io::Direct, Ahead::Uring, 4)},
            {"direct-uring8", ahead(Io::Direct, Ahead::Uring, 8)},
            {"direct-huge", Way{.io = Io::Direct, .huge = true}},
            {"direct-huge-uring2", Way{.io = Io::Direct, .ahead = Ahead::Uring, .buffers = 2, .huge = true}},
            {"direct-huge-uring4", Way{.io = Io::Direct, .ahead = Ahead::Uring, .buffers = 4, .huge = true}},
            {"direct-huge-thread2",
             Way{.io = Io::Direct, .ahead = Ahead::Thread, .buffers = 2, .huge = true}},
            {"thread2-huge", Way{.ahead = Ahead::Thread, .buffers = 2, .huge = true}},
            // O_DIRECT asked of a memory file system too (which may take it or refuse it).
            {"direct-forced", Way{.io = Io::Direct, .direct_on_memory = true}},
        };
        for (const auto& n : eight) v3_case("v3x8/" + n.name, "v3x8", files, Layout::PerFile, n.way);
        v3_case("v3x8/floor-hot", "v3x8", files, Layout::PerFile, hot_floor(), true);
        v3_case("v3x8/share-today", "v3x8", files, Layout::Sharing, buffered());
        v3_case("v3x8/share-willneed8", "v3x8", files, Layout::Sharing, buffered(8));
        v3_case("v3x8/share-thread2", "v3x8", files, Layout::Sharing, ahead(Io::Buffered, Ahead::Thread, 2));
        v3_case("v3x8/thread4", "v3x8", files, Layout::PerFile, ahead(Io::Buffered, Ahead::Thread, 4));
        v3_case("v3x8/share-thread4", "v3x8", files, Layout::Sharing, ahead(Io::Buffered, Ahead::Thread, 4));
        v3_case("v3x8/share-thread8", "v3x8", files, Layout::Sharing, ahead(Io::Buffered, Ahead::Thread, 8));
        v3_case("v3x8/share-uring2", "v3x8", files, Layout::Sharing, ahead(Io::Buffered, Ahead::Uring, 2));
        v3_case("v3x8/share-direct-huge-uring2", "v3x8", files, Layout::Sharing,
                Way{.io = Io::Direct, .ahead = Ahead::Uring, .buffers = 2, .huge = true});
        v3_case("v3x8/share-direct-huge-thread2", "v3x8", files, Layout::Sharing,
                Way{.io = Io::Direct, .ahead = Ahead::Thread, .buffers = 2, .huge = true});
        v3_case("v3x8/share-direct-huge-uring4", "v3x8", files, Layout::Sharing,
                Way{.io = Io::Direct, .ahead = Ahead::Uring, .buffers = 4, .huge = true});
        v3_case("v3x8/share-floor-hot", "v3x8", files, Layout::Sharing, hot_floor());
        std::vector<Named> one = {
            {"today", buffered()},
            {"willneed4", buffered(4)},
            {"thread2", ahead(Io::Buffered, Ahead::Thread, 2)},
            {"uring2", ahead(Io::Buffered, Ahead::Uring, 2)},
            {"direct", ahead(Io::Direct, Ahead::None, 1)},
            {"direct-thread2", ahead(Io::Direct, Ahead::Thread, 2)},
            {"direct-uring2", ahead(Io::Direct, Ahead::Uring, 2)},
            {"direct-huge-uring2", Way{.io = Io::Direct, .ahead = Ahead::Uring, .buffers = 2, .huge = true}},
            {"direct-huge-thread2",
             Way{.io = Io::Direct, .ahead = Ahead::Thread, .buffers = 2, .huge = true}},
            {"direct-uring4", ahead(Io::Direct, Ahead::Uring, 4)},
        };
        for (const auto& n : one) v3_case("v3x1/" + n.name, "v3x1", files, Layout::OneThread, n.way);
        v3_case("v3x1/floor-hot", "v3x1", files, Layout::OneThread, hot_floor(), true);

        const bool cold = !all_hot;
        cases.push_back({"dev/buffered-8", "dev", cold, [files] { bare_reads(files, false); }, false, true});
        cases.push_back({"dev/direct-8", "dev", cold, [files] { bare_reads(files, true); }, false, true});
        cases.push_back(
            {"dev/direct-huge-8", "dev", cold, [files] { bare_reads(files, true, true); }, false, true});
        const std::string dd_files = quoted(files);
        cases.push_back({"dev/dd-direct-8", "dev", cold, [dd_files] {
                             run_command("for f in" + dd_files +
                                         "; do dd if=\"$f\" of=/dev/null bs=1M iflag=direct & done; wait");
                         }});
        if (f3_dir) {
            const std::string dir = f3_dir->native();
            cases.push_back({"dev/f3read", "dev", cold, [dir] { run_command("f3read '" + dir + "'"); }});
        }
        for (const auto& [label, binary] : kros) {
            const std::string root = v3_dir->native();
            for (const char* jobs : {"8", "1"}) {
                const std::string group = std::string(jobs) == "8" ? "v3x8" : "v3x1";
                cases.push_back({group + "/" + label, group, cold, [binary, root, jobs] {
                                     run_command(binary + " verify --directory '" + root + "' --jobs " +
                                                 jobs);
                                 }});
            }
        }
    }
    if (v3_one_dir) {
        const auto files = content_files(*v3_one_dir);
        v3_case("v3one/today", "v3one", files, Layout::SharedFile, buffered());
        v3_case("v3one/willneed4", "v3one", files, Layout::SharedFile, buffered(4));
        v3_case("v3one/willneed8", "v3one", files, Layout::SharedFile, buffered(8));
        v3_case("v3one/thread2", "v3one", files, Layout::SharedFile, ahead(Io::Buffered, Ahead::Thread, 2));
        v3_case("v3one/uring2", "v3one", files, Layout::SharedFile, ahead(Io::Buffered, Ahead::Uring, 2));
        v3_case("v3one/thread2+willneed8", "v3one", files, Layout::SharedFile,
                Way{.ahead = Ahead::Thread, .buffers = 2, .advise = 8});
        v3_case("v3one/thread4", "v3one", files, Layout::SharedFile, ahead(Io::Buffered, Ahead::Thread, 4));
        v3_case("v3one/run8", "v3one", files, Layout::SharedFile, Way{.claim_run = 8});
        v3_case("v3one/run8-thread2", "v3one", files, Layout::SharedFile,
                Way{.ahead = Ahead::Thread, .buffers = 2, .claim_run = 8});
        v3_case("v3one/run4-thread4", "v3one", files, Layout::SharedFile,
                Way{.ahead = Ahead::Thread, .buffers = 4, .claim_run = 4});
        v3_case("v3one/direct-huge-uring2", "v3one", files, Layout::SharedFile,
                Way{.io = Io::Direct, .ahead = Ahead::Uring, .buffers = 2, .huge = true});
        v3_case("v3one/direct-huge-thread2", "v3one", files, Layout::SharedFile,
                Way{.io = Io::Direct, .ahead = Ahead::Thread, .buffers = 2, .huge = true});
        v3_case("v3one/direct-huge-uring4", "v3one", files, Layout::SharedFile,
                Way{.io = Io::Direct, .ahead = Ahead::Uring, .buffers = 4, .huge = true});
        v3_case("v3one/direct", "v3one", files, Layout::SharedFile, ahead(Io::Direct, Ahead::None, 1));
        v3_case("v3one/direct-uring2", "v3one", files, Layout::SharedFile,
                ahead(Io::Direct, Ahead::Uring, 2));
        v3_case("v3one/direct-thread2", "v3one", files, Layout::SharedFile,
                ahead(Io::Direct, Ahead::Thread, 2));
        v3_case("v3one/floor-hot", "v3one", files, Layout::SharedFile, hot_floor(), true);
        const bool cold = !all_hot;
        cases.push_back(
            {"v3one/device-8", "v3one", cold,
             [files] { run_v2(files.at(0), Way{.drop = Drop::None, .storage_calls = false}, 8, 32, false); },
             false, true});
        for (const auto& [label, binary] : kros) {
            const std::string root = v3_one_dir->native();
            cases.push_back({"v3one/" + label, "v3one", cold, [binary, root] {
                                 run_command(binary + " verify --directory '" + root + "' --jobs 8");
                             }});
        }
    }
    if (v2_dir) {
        const fs::path file = content_files(*v2_dir).at(0);
        const auto v2_case = [&](const std::string& name, Way w, unsigned readers, unsigned buffers,
                                 bool hash = true, bool floor = false, bool device = false) {
            const Way& way = keep(w);
            cases.push_back(
                {"v2/" + name, "v2", way.cold,
                 [&way, file, readers, buffers, hash] { run_v2(file, way, readers, buffers, hash); }, floor,
                 device});
        };
        Way today = buffered();
        today.aligned = false;
        v2_case("today", today, 7, 28);
        v2_case("aligned", buffered(), 7, 28);
        Way wn = buffered(8);
        wn.aligned = false;
        v2_case("willneed8", wn, 7, 28);
        v2_case("aligned+willneed8", buffered(8), 7, 28);
        v2_case("direct", ahead(Io::Direct, Ahead::None, 1), 7, 28);
        v2_case("direct-r2", ahead(Io::Direct, Ahead::None, 1), 2, 8);
        v2_case("direct-huge", Way{.io = Io::Direct, .huge = true}, 7, 28);
        v2_case("direct-huge-r2", Way{.io = Io::Direct, .huge = true}, 2, 8);
        Way floor_way = hot_floor();
        floor_way.aligned = false;
        v2_case("floor-hot", floor_way, 7, 28, true, true);
        v2_case("floor-hot-aligned", hot_floor(), 7, 28, true, false);
        v2_case("device-8", Way{.drop = Drop::None, .storage_calls = false}, 8, 32, false, false, true);
        for (const auto& [label, binary] : kros) {
            const std::string root = v2_dir->native();
            cases.push_back({"v2/" + label, "v2", !all_hot, [binary, root] {
                                 run_command(binary + " verify --directory '" + root + "' --jobs 8");
                             }});
        }
    }
    if (!KRO_HAVE_URING) {
        std::erase_if(cases, [](const Case& c) { return c.name.find("uring") != std::string::npos; });
    }
    if (!only.empty()) {
        std::erase_if(cases, [&](const Case& c) { return !only.contains(c.name); });
    }
    if (!v3_dir && !v3_one_dir && !v2_dir) {
        std::printf("read_overlap_bench: skipped, needs store directories (--v3, --v3-one, --v2)\n");
        return 0;
    }
    if (list || cases.empty()) {
        for (const auto& c : cases) std::printf("%s\n", c.name.c_str());
        return 0;
    }

    // A hot case reads its files once first; the cold ones find nothing cached. Per case and
    // round: wall seconds, CPU seconds (user and system, children's included) and the seconds
    // its hashing lanes spent waiting for their reads, summed over the lanes.
    struct Sample {
        double seconds, cpu, waited, steal;
    };
    // Time the hypervisor took from this machine's CPUs, all of them together (a shared host).
    const auto steal_now = [] {
        std::FILE* f = std::fopen("/proc/stat", "r");
        unsigned long long v[8] = {};
        if (f == nullptr || std::fscanf(f, "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &v[0], &v[1], &v[2],
                                        &v[3], &v[4], &v[5], &v[6], &v[7]) != 8) {
            if (f != nullptr) std::fclose(f);
            return 0.0;
        }
        std::fclose(f);
        return static_cast<double>(v[7]) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    };
    std::map<std::string, std::vector<Sample>> samples;
    const auto cpu_now = [] {
        double total = 0;
        for (const int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
            rusage u{};
            ::getrusage(who, &u);
            total += static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
                     static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
        }
        return total;
    };
    std::mt19937 shuffle(12345);
    for (int round = 0; round < rounds; ++round) {
        std::vector<size_t> order(cases.size());
        for (size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::shuffle(order.begin(), order.end(), shuffle);
        for (const size_t i : order) {
            const Case& c = cases[i];
            if (c.cold) {
                drop_page_cache();
                if (settle > 0) std::this_thread::sleep_for(std::chrono::duration<double>(settle));
            } else {
                c.run();
            }
            traces.clear();
            const double cpu_before = cpu_now();
            const double steal_before = steal_now();
            case_start = Clock::now();
            c.run();
            const double s = since(case_start);
            double waited = 0;
            for (const auto& t : traces) waited += t.waited;
            samples[c.name].push_back({s, cpu_now() - cpu_before, waited, steal_now() - steal_before});
            std::fprintf(stderr, "round %d  %-28s %7.3f s  cpu %7.3f s  waited %7.3f s  steal %6.2f s\n",
                         round + 1, c.name.c_str(), s, samples[c.name].back().cpu, waited,
                         samples[c.name].back().steal);
            for (const auto& t : traces) {
                if (!trace) break;
                std::fprintf(stderr,
                             "    lane: first read done %.3f s, waited %.3f s for %llu reads, ended %.3f s\n",
                             t.first_read, t.waited, static_cast<unsigned long long>(t.blocks), t.ended);
            }
        }
    }
    if (!all_hot) drop_page_cache();

    // Per group and round, the reference is the larger of the group's floor and the fastest
    // device read of the same bytes in that round (the bare reads of the v3 store stand for
    // v3x8 and v3x1); a case's ratio is the median over the rounds of reference / its time.
    const auto column = [&](const std::string& name, auto field) {
        std::vector<double> v;
        for (const auto& x : samples[name]) v.push_back(x.*field);
        return v;
    };
    std::map<std::string, std::vector<double>> floor_of, device_of;
    for (const auto& c : cases) {
        const auto v = column(c.name, &Sample::seconds);
        if (c.floor) floor_of[c.group] = v;
        if (c.device) {
            auto& d = device_of[c.group];
            if (d.empty())
                d = v;
            else
                for (size_t r = 0; r < v.size(); ++r) d[r] = std::min(d[r], v[r]);
        }
    }
    std::printf("\n%-28s %7s %7s %7s %7s %6s %7s  %s\n", "case", "median", "min", "max", "cpu", "steal",
                "waited", "ratio to max(floor, device): median of rounds (of medians)");
    for (const auto& c : cases) {
        const auto v = column(c.name, &Sample::seconds);
        std::printf("%-28s %7.3f %7.3f %7.3f %7.2f", c.name.c_str(), median(v),
                    *std::min_element(v.begin(), v.end()), *std::max_element(v.begin(), v.end()),
                    median(column(c.name, &Sample::cpu)));
        std::printf(" %6.2f", median(column(c.name, &Sample::steal)));
        if (c.group != "dev" && c.name.find("kro") == std::string::npos &&
            c.name.find("device") == std::string::npos)
            std::printf(" %7.3f", median(column(c.name, &Sample::waited)));
        else
            std::printf(" %7s", "");
        const auto& floors = floor_of[c.group];
        const auto& devices = device_of.contains(c.group) ? device_of[c.group] : device_of["dev"];
        if (c.group != "dev" && !floors.empty() && !devices.empty()) {
            std::vector<double> ratios, refs;
            for (size_t r = 0; r < v.size(); ++r) {
                refs.push_back(std::max(floors[r], devices[r]));
                ratios.push_back(refs.back() / v[r]);
            }
            const double per_round = median(ratios);
            std::printf("  %5.2f (%4.2f)%s", per_round, median(refs) / median(v),
                        per_round >= 0.9 ? "" : "  below 0.9");
        }
        std::printf("\n");
    }
    for (const auto& [group, f] : floor_of) {
        if (f.empty()) continue;
        const auto& devices = device_of.contains(group) ? device_of[group] : device_of["dev"];
        if (!devices.empty())
            std::printf("%s: floor %.3f s, device %.3f s (medians)\n", group.c_str(), median(f),
                        median(devices));
    }
    return 0;
}
