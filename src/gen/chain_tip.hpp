#pragma once
// The store's records of finished runs. Each run leaves an empty chain-tip marker named by the
// 40 hex digits of its last FileId in <root>/.metadata/roots, and then rewrites the aggregate
// <root>/.metadata/all: the 40 hex digits of BLAKE2b-160 over the names of every entry in
// `roots`, sorted byte-wise and concatenated. The aggregate changes only by a rename of a synced
// temporary sibling, so readers never see it half written. Both directories are entered once,
// relative to the root, without following a link, and everything is written relative to them.
// Runs into one store take turns under an exclusive lock on `.metadata`, so that the aggregate
// written last covers every marker present. Runs on the calling thread.

#include <array>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <span>
#include <string>

#include "base/fd.hpp"
#include "base/fs/directory.hpp"
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
    // Creates what is missing of <root>/.metadata/roots and enters both. A link or anything else
    // that is not a directory on the way fails as "creating the chain-tip directory" at roots.
    static std::expected<ChainTipRecords, GenerateError> enter(const base::Directory& root);

    // Waits until no other run holds the records, and keeps them until the returned descriptor is
    // closed: a run holds them from writing its marker until its aggregate is in place. Failure:
    // "locking the chain-tip records" at .metadata.
    std::expected<base::UniqueFd, GenerateError> lock() const;

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
    ChainTipRecords(base::Directory meta, base::Directory roots)
        : meta_(std::move(meta)), roots_(std::move(roots)) {}

    base::Directory meta_;
    base::Directory roots_;
};

}  // namespace kro::gen
