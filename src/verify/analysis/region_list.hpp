#pragma once
// The damaged regions of one file in file order, kept in blocks that never move. A list of
// millions of regions (a file of noise analysed with one-byte chunks) then costs little more than
// the regions themselves: growing copies nothing, where a doubling array holds up to three times
// its contents while it moves them, and one list takes over another's blocks whole. Blocks start
// small and grow to a fixed size, so the list of a file with a few regions stays small too.
// Converts to and from a vector for callers that hold a handful of regions. A plain value; one
// thread at a time.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <vector>

#include "verify/analysis/corrupt_region.hpp"

namespace kro::verify {

class RegionList {
    struct Block {
        CorruptRegion* data;
        uint32_t begin;  // the first region still held
        uint32_t end;
        uint32_t capacity;
    };

  public:
    class const_iterator {
      public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = CorruptRegion;
        using difference_type = std::ptrdiff_t;
        using pointer = const CorruptRegion*;
        using reference = const CorruptRegion&;

        const_iterator() = default;
        reference operator*() const { return block_->data[index_]; }
        pointer operator->() const { return &block_->data[index_]; }
        const_iterator& operator++();
        const_iterator operator++(int) {
            const_iterator before = *this;
            ++*this;
            return before;
        }
        friend bool operator==(const const_iterator& a, const const_iterator& b) {
            return a.block_ == b.block_ && a.index_ == b.index_;
        }

      private:
        friend class RegionList;
        const_iterator(const Block* block, const Block* last, uint32_t index)
            : block_(block), last_(last), index_(index) {}
        const Block* block_ = nullptr;
        const Block* last_ = nullptr;  // one past the last block
        uint32_t index_ = 0;
    };

    RegionList() = default;
    RegionList(std::initializer_list<CorruptRegion> regions);
    RegionList(const std::vector<CorruptRegion>& regions);  // implicit: a vector is a list
    RegionList(const RegionList& other);
    RegionList& operator=(const RegionList& other);
    RegionList(RegionList&& other) noexcept;
    RegionList& operator=(RegionList&& other) noexcept;
    ~RegionList();

    operator std::vector<CorruptRegion>() const;

    bool empty() const { return size_ == 0; }
    size_t size() const { return size_; }
    const CorruptRegion& front() const { return blocks_.front().data[blocks_.front().begin]; }
    const CorruptRegion& back() const { return blocks_.back().data[blocks_.back().end - 1]; }
    CorruptRegion& back() { return blocks_.back().data[blocks_.back().end - 1]; }
    const_iterator begin() const;
    const_iterator end() const;

    // Appends one region; throws std::bad_alloc when a new block cannot be had.
    void push_back(const CorruptRegion& region);
    // Removes the first region. The list must not be empty.
    void pop_front();
    // Moves every region of `other` behind those of this list, leaving `other` empty. A long list
    // hands over its blocks; a short one is copied, so that small lists do not leave half-empty
    // blocks behind.
    void splice(RegionList&& other);
    void clear();

    friend bool operator==(const RegionList& a, const RegionList& b);

  private:
    void free_blocks();
    Block& block_with_room();

    std::vector<Block> blocks_;  // none of them empty
    size_t size_ = 0;
};

// Appends `region`, merged into the last region when it continues that one.
void push_region(RegionList& regions, const CorruptRegion& region);

// Appends the regions of `more` (merged among themselves already), its first one merged into the
// last of `regions` as push_region would; `more` is left empty.
void push_regions(RegionList& regions, RegionList&& more);

}  // namespace kro::verify
