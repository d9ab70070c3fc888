#pragma once
// The store's records of finished runs. Each run leaves an empty chain-tip marker named by the
// 40 hex digits of its last FileId in <root>/.metadata/roots, and then rewrites the aggregate
// <root>/.metadata/all: the 40 hex digits of BLAKE2b-160 over the names of every entry in
// `roots`, sorted byte-wise and concatenated. The aggregate changes only by a rename of a synced
// temporary sibling, so readers never see it half written. Both directories are entered once,
// relative to the root, without following a link, and everything is written relative to them.
// A run checks its records before it writes its first content file, so that a store whose
// records it could not write is refused before anything is written, not after every file.
// Runs into one store take turns under an exclusive lock on `roots`, so that the aggregate
// written last covers every marker present; on a file system without locks they go on without
// one. Runs on the calling thread.

#include <array>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

#include "base/fd.hpp"
#include "base/fs/directory.hpp"
#include "base/fs/file_lock.hpp"
#include "base/fs/temp_file_registry.hpp"
#include "base/hooks.hpp"
#include "format/file_id.hpp"
#include "format/store_layout.hpp"
#include "gen/generate_error.hpp"

namespace kro::gen {

using format::AggregateDigest;

// `.metadata` and its `roots`, as generation entered them.
class ChainTipRecords {
  public:
    // Looks at what exists of <root>/.metadata/roots, creating nothing, and refuses what `enter`
    // and the steps after it would refuse, with their messages: a link or anything else that is
    // not a directory on the way ("creating the chain-tip directory" at roots), a directory that
    // cannot be written, a `roots` that cannot be listed ("listing the chain-tip markers" at
    // roots), a directory where the aggregate belongs ("replacing the aggregate"), a file system
    // whose locks answer anything but yes or none ("locking the chain-tip records" at roots).
    // What does not exist yet is made by `enter` and stands in nobody's way. A run calls it
    // before it writes its first content file.
    static std::expected<void, GenerateError> check(const base::Directory& root);

    // Creates what is missing of <root>/.metadata/roots, enters both, and checks them as `check`
    // does.
    static std::expected<ChainTipRecords, GenerateError> enter(const base::Directory& root);

    // Waits until no other run holds the records, and keeps them until the returned lock goes: a
    // run holds them from writing its marker until its aggregate is in place. On a file system
    // without locks the lock is empty. Failure: "locking the chain-tip records" at roots.
    std::expected<base::FileLock, GenerateError> lock() const;

    // Creates (or truncates) the empty marker of `tip`. Anything at its name that is not a
    // regular file (a link, a fifo, a directory) is refused without being opened for writing
    // or waited for.
    std::expected<void, GenerateError> record(const format::FileId& tip) const;

    // Recomputes the aggregate from every entry of `roots`, writes it through a synced temporary
    // file (on record in `registry` when one is given, named from `hooks` when given) and returns
    // its digest.
    std::expected<AggregateDigest, GenerateError> write_aggregate(base::TempFileRegistry* registry,
                                                                  const base::Hooks* hooks) const;

  private:
    // `check` with `create` false (nothing when a directory does not exist yet), `enter` with true.
    static std::expected<std::optional<ChainTipRecords>, GenerateError> open(const base::Directory& root,
                                                                             bool create);

    ChainTipRecords(base::Directory meta, base::Directory roots, base::UniqueFd listing)
        : meta_(std::move(meta)), roots_(std::move(roots)), listing_(std::move(listing)) {}

    base::Directory meta_;
    base::Directory roots_;
    // `roots` open for reading: the aggregate lists it, and the lock is taken on it, so that a run
    // needs no right to read `.metadata` itself.
    base::UniqueFd listing_;
};

}  // namespace kro::gen
