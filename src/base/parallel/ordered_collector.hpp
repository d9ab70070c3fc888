#pragma once
// How a parallel stage's values come back in index order, whatever order the workers finish in.
// Owned by the one thread that merges results. Each index arrives at most once; a value is handed
// on as soon as every lower index has been handed on, and those that arrive early wait in an
// ordered map, which the stage's window bounds. An index that fails never arrives (its error is
// recorded on the stage), so nothing at or past it is ever handed on.

#include <cstdint>
#include <map>
#include <utility>

namespace kro::base {

template <typename T>
class OrderedCollector {
  public:
    // Files the value of item `index`, then calls `take(index, value)` for every value that is
    // now next in order.
    template <typename Take>
    void put(uint64_t index, T value, Take&& take) {
        waiting_.emplace(index, std::move(value));
        for (auto it = waiting_.begin(); it != waiting_.end() && it->first == next_;
             it = waiting_.erase(it)) {
            take(it->first, std::move(it->second));
            ++next_;
        }
    }

    // How many values have been handed on: the next index expected.
    uint64_t next() const { return next_; }

  private:
    std::map<uint64_t, T> waiting_;
    uint64_t next_ = 0;
};

}  // namespace kro::base
