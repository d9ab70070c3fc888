#include "verify/analysis/region_list.hpp"

#include <algorithm>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace kro::verify {
namespace {

// Regions are copied into raw storage and never destroyed one by one.
static_assert(std::is_trivially_copyable_v<CorruptRegion>);
static_assert(std::is_trivially_destructible_v<CorruptRegion>);
// A region is its fields: a pattern of one tag and eight bytes, an offset and a length.
static_assert(sizeof(CorruptRegion) == 32);

// A new block holds as many regions as the list already does, between these bounds: 128 bytes
// for the first, 64 KiB at most.
constexpr size_t MIN_BLOCK_REGIONS = 4;
constexpr size_t MAX_BLOCK_REGIONS = 2048;

struct FreeRegions {
    void operator()(CorruptRegion* data) const { ::operator delete(data); }
};

}  // namespace

RegionList::const_iterator& RegionList::const_iterator::operator++() {
    if (++index_ == block_->end) {
        ++block_;
        index_ = block_ == last_ ? 0 : block_->begin;
    }
    return *this;
}

RegionList::RegionList(std::initializer_list<CorruptRegion> regions) {
    for (const CorruptRegion& region : regions) push_back(region);
}

RegionList::RegionList(const std::vector<CorruptRegion>& regions) {
    for (const CorruptRegion& region : regions) push_back(region);
}

RegionList::RegionList(const RegionList& other) {
    for (const CorruptRegion& region : other) push_back(region);
}

RegionList& RegionList::operator=(const RegionList& other) {
    if (this != &other) {
        RegionList copy(other);
        *this = std::move(copy);
    }
    return *this;
}

RegionList::RegionList(RegionList&& other) noexcept
    : blocks_(std::move(other.blocks_)), size_(std::exchange(other.size_, 0)) {
    other.blocks_.clear();
}

RegionList& RegionList::operator=(RegionList&& other) noexcept {
    if (this != &other) {
        free_blocks();
        blocks_ = std::move(other.blocks_);
        other.blocks_.clear();
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

RegionList::~RegionList() {
    free_blocks();
}

RegionList::operator std::vector<CorruptRegion>() const {
    std::vector<CorruptRegion> out;
    out.reserve(size_);
    for (const CorruptRegion& region : *this) out.push_back(region);
    return out;
}

RegionList::const_iterator RegionList::begin() const {
    const Block* first = blocks_.data();
    const Block* last = first + blocks_.size();
    return const_iterator(first, last, blocks_.empty() ? 0 : first->begin);
}

RegionList::const_iterator RegionList::end() const {
    const Block* last = blocks_.data() + blocks_.size();
    return const_iterator(last, last, 0);
}

RegionList::Block& RegionList::block_with_room() {
    if (!blocks_.empty() && blocks_.back().end < blocks_.back().capacity) return blocks_.back();
    const size_t capacity = std::clamp(size_, MIN_BLOCK_REGIONS, MAX_BLOCK_REGIONS);
    std::unique_ptr<CorruptRegion, FreeRegions> data(
        static_cast<CorruptRegion*>(::operator new(capacity * sizeof(CorruptRegion))));
    blocks_.push_back(Block{data.get(), 0, 0, static_cast<uint32_t>(capacity)});
    data.release();
    return blocks_.back();
}

void RegionList::push_back(const CorruptRegion& region) {
    Block& block = block_with_room();
    std::construct_at(block.data + block.end, region);
    ++block.end;
    ++size_;
}

void RegionList::pop_front() {
    Block& first = blocks_.front();
    --size_;
    if (++first.begin < first.end) return;
    ::operator delete(first.data);
    blocks_.erase(blocks_.begin());
}

void RegionList::splice(RegionList&& other) {
    if (this == &other || other.empty()) return;
    if (empty()) {
        *this = std::move(other);
        return;
    }
    if (other.size_ < MAX_BLOCK_REGIONS) {
        for (const CorruptRegion& region : other) push_back(region);
        other.clear();
        return;
    }
    blocks_.reserve(blocks_.size() + other.blocks_.size());
    blocks_.insert(blocks_.end(), other.blocks_.begin(), other.blocks_.end());
    size_ += std::exchange(other.size_, 0);
    other.blocks_.clear();
}

void RegionList::clear() {
    free_blocks();
    blocks_.clear();
    size_ = 0;
}

void RegionList::free_blocks() {
    for (const Block& block : blocks_) ::operator delete(block.data);
}

bool operator==(const RegionList& a, const RegionList& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

void push_region(RegionList& regions, const CorruptRegion& region) {
    if (!regions.empty() && continues(regions.back(), region)) {
        regions.back().length += region.length;
        return;
    }
    regions.push_back(region);
}

void push_regions(RegionList& regions, RegionList&& more) {
    if (more.empty()) return;
    if (!regions.empty() && continues(regions.back(), more.front())) {
        regions.back().length += more.front().length;
        more.pop_front();
    }
    regions.splice(std::move(more));
}

}  // namespace kro::verify
