#pragma once
// A progress observer that keeps every snapshot it is handed, in order. The tracker serialises
// its calls, so the list needs no lock of its own.

#include <vector>

#include "store/progress.hpp"

namespace kro::testing {

struct SnapshotRecorder {
    std::vector<store::ProgressSnapshot> seen;
    store::ProgressObserver observer() {
        return store::make_progress_observer([this](const store::ProgressSnapshot& s) { seen.push_back(s); });
    }
};

}  // namespace kro::testing
