#include "cli/args/suggestion.hpp"

#include <algorithm>
#include <vector>

namespace kro::cli {
namespace {

// Optimal string alignment distance.
size_t edit_distance(std::string_view a, std::string_view b) {
    const size_t width = b.size() + 1;
    std::vector<size_t> d((a.size() + 1) * width);
    const auto at = [&](size_t i, size_t j) -> size_t& { return d[i * width + j]; };
    for (size_t i = 0; i <= a.size(); ++i) at(i, 0) = i;
    for (size_t j = 0; j <= b.size(); ++j) at(0, j) = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            at(i, j) = std::min({at(i - 1, j) + 1, at(i, j - 1) + 1, at(i - 1, j - 1) + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                at(i, j) = std::min(at(i, j), at(i - 2, j - 2) + 1);
            }
        }
    }
    return at(a.size(), b.size());
}

}  // namespace

std::optional<std::string> closest_name(std::string_view typed, std::span<const std::string> candidates) {
    std::optional<std::string> best;
    size_t best_distance = 0;
    for (const std::string& candidate : candidates) {
        const size_t distance = edit_distance(typed, candidate);
        const size_t longer = std::max(typed.size(), candidate.size());
        const bool near = distance <= std::max<size_t>(1, longer / 3) ||
                          (typed.size() >= 2 && candidate.starts_with(typed));
        if (!near) continue;
        if (!best || distance < best_distance) {
            best = candidate;
            best_distance = distance;
        }
    }
    return best;
}

}  // namespace kro::cli
