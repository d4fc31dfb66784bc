#pragma once
// The byte ranges of one file, as a value: which bytes are present, and which are being fetched.
// Present ranges are kept sorted and disjoint, merged where they overlap or touch. Ranges in
// flight are kept as they were started (they may overlap) until each one ends.
//
// Not thread-safe: the owner guards it (the content replica keeps one per file it fetches range
// by range, under that file's mutex).

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "platform/fileprovider/ReplicatedExtension.hpp"

namespace tarnix::host {

class ByteRanges {
 public:
  using Range = platform::fileprovider::ByteRange;

  ByteRanges() = default;
  /// `present` in any order; empty ranges are left out.
  ByteRanges(std::initializer_list<Range> present);

  /// Marks `range` present (nothing for an empty or negative range).
  void insert(Range range);
  /// Whether every byte of `range` is present; an empty range always is.
  bool covers(Range range) const;
  /// The first run of bytes in `within` that is not present: from its first missing byte up to
  /// the next present byte or the end of `within`. Length 0, at the end of `within`, when
  /// `within` is covered.
  Range firstMissing(Range within) const;
  /// Bytes present.
  std::int64_t size() const;
  bool empty() const { return present_.empty(); }
  /// The present ranges, sorted and disjoint.
  const std::vector<Range>& ranges() const { return present_; }

  /// A fetch of `range` began.
  void startFetching(Range range);
  /// The fetch that began as `fetching` ended, having delivered `delivered` (empty when it
  /// failed): it is no longer in flight, and what it delivered is present.
  void finishFetching(Range fetching, Range delivered);
  /// Whether a fetch in flight brings the byte at `at`.
  bool isFetching(std::int64_t at) const;
  /// Where the first fetch in flight that starts after `at` begins; `limit` when none begins
  /// before it.
  std::int64_t nextFetchAfter(std::int64_t at, std::int64_t limit) const;
  /// The fetches in flight, in the order they began.
  const std::vector<Range>& inFlight() const { return inFlight_; }

  bool operator==(const ByteRanges&) const = default;

 private:
  std::vector<Range> present_;
  std::vector<Range> inFlight_;
};

}  // namespace tarnix::host
