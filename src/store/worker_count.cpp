#include "store/worker_count.hpp"

#include <algorithm>

#include "base/parallel/available_parallelism.hpp"

namespace kro::store {

size_t worker_count_for(std::optional<size_t> available) {
    if (!available || *available <= 1) return 1;
    return std::clamp<size_t>(*available / 2, 2, 8);
}

size_t default_worker_count() {
    return worker_count_for(base::available_parallelism());
}

}  // namespace kro::store
