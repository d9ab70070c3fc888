#pragma once
// Ending `gen` by a signal without leaving its temporary files behind. While a SignalCleanup
// lives, SIGINT, SIGTERM and SIGHUP (those the process neither ignores nor blocks already) are
// held back from every thread and taken by one watcher thread instead. When one arrives, the
// watcher removes every temporary file on record in the run's registry, keeps the registry
// locked so that no new one can appear, and ends the process by that same signal, so that the
// shell sees how it ended. Make it before any other thread starts (threads inherit the blocked
// set). Its destructor stops the watcher and restores the signal mask; a signal that arrived
// in between then takes its ordinary course. A watcher that cannot be told to stop is never
// waited for: it is left to end with the process. Owned and used by one thread.

#include <signal.h>

#include <memory>
#include <thread>

#include "base/fd.hpp"
#include "base/fs/temp_file_registry.hpp"

namespace kro::cli {

class SignalCleanup {
  public:
    explicit SignalCleanup(std::shared_ptr<base::TempFileRegistry> registry);
    SignalCleanup(const SignalCleanup&) = delete;
    SignalCleanup& operator=(const SignalCleanup&) = delete;
    ~SignalCleanup();

  private:
    sigset_t previous_{};
    std::shared_ptr<base::TempFileRegistry> registry_;
    base::UniqueFd signals_;  // the watched signals, read as they arrive
    base::UniqueFd stop_;     // written once to end the watcher
    std::thread watcher_;
};

}  // namespace kro::cli
