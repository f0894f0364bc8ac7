// The version history of a publication: which paths changed in each step
// between consecutive snapshots, and, for a list distance n, which paths an
// incremental list must name so that every client 1..n versions behind ends
// with the newest version's state.
//
// A list for distance n names the union of the paths changed in every step
// after version V-n up to V, not the net difference between V-n and V: a
// file changed in V-n+1 and changed back in V is still named, because a
// client at V-n+1 holds the changed copy.
//
// Not thread-safe; owns nothing but references the snapshots it was given.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "publish/content_index.h"
#include "publish/snapshot.h"

namespace launcher::publish {

struct DistancePlan {
  int distance = 0;
  // False: a snapshot the list needs is missing, so the list names every
  // file of V and deletes every path seen in any older snapshot.
  bool exact = true;
  std::string reason;           // why the list is not exact
  std::set<std::string> paths;  // the paths to name (present in V or not)
};

class History {
 public:
  // `snapshots` by version; the newest is V. The snapshots must outlive this.
  History(const std::map<int, Snapshot>& snapshots, ContentIndex& index);

  int newest() const { return newest_; }
  int oldest() const { return oldest_; }

  // Paths whose state (content or presence) differs between versions k-1
  // and k. Requires both snapshots.
  const std::set<std::string>& ChangedInStep(int k);

  // The paths a list for `distance` names. Versions below the oldest
  // snapshot count as never published when the oldest is version 1, and as
  // missing otherwise (the history was pruned and older clients exist).
  DistancePlan PlanDistance(int distance);

 private:
  const std::map<int, Snapshot>& snapshots_;
  ContentIndex& index_;
  int newest_ = 0;
  int oldest_ = 0;
  std::map<int, std::set<std::string>> steps_;
};

}  // namespace launcher::publish
