#include "publish/history.h"

#include <algorithm>

namespace launcher::publish {

History::History(const std::map<int, Snapshot>& snapshots, ContentIndex& index)
    : snapshots_(snapshots), index_(index) {
  if (!snapshots_.empty()) {
    oldest_ = snapshots_.begin()->first;
    newest_ = snapshots_.rbegin()->first;
  }
}

const std::set<std::string>& History::ChangedInStep(int k) {
  if (auto it = steps_.find(k); it != steps_.end()) return it->second;
  std::set<std::string>& changed = steps_[k];
  const Snapshot& before = snapshots_.at(k - 1);
  const Snapshot& after = snapshots_.at(k);
  // Merge walk over the two sorted file lists.
  auto a = before.files.begin();
  auto b = after.files.begin();
  while (a != before.files.end() || b != after.files.end()) {
    if (b == after.files.end() || (a != before.files.end() && a->path < b->path)) {
      changed.insert((a++)->path);
    } else if (a == before.files.end() || b->path < a->path) {
      changed.insert((b++)->path);
    } else {
      if (!index_.SameContent(*a, *b)) changed.insert(a->path);
      ++a;
      ++b;
    }
  }
  return changed;
}

DistancePlan History::PlanDistance(int distance) {
  DistancePlan plan;
  plan.distance = distance;
  const int base = newest_ - distance;
  int first = base;
  if (base < oldest_) {
    if (oldest_ == 1) {
      first = oldest_;
    } else {
      plan.exact = false;
      plan.reason = "versions before " + std::to_string(oldest_) + " are not in the releases";
    }
  }
  if (plan.exact) {
    for (int v = first; v <= newest_; ++v) {
      if (!snapshots_.contains(v)) {
        plan.exact = false;
        plan.reason = "version " + std::to_string(v) + " is missing from the releases";
        break;
      }
    }
  }
  if (plan.exact) {
    for (int k = first + 1; k <= newest_; ++k) {
      const auto& changed = ChangedInStep(k);
      plan.paths.insert(changed.begin(), changed.end());
    }
    return plan;
  }
  // Without the whole history, every path ever seen: files of V are added
  // or replaced (clients skip those already current), the rest deleted.
  for (const auto& [version, snapshot] : snapshots_) {
    for (const SnapshotFile& file : snapshot.files) plan.paths.insert(file.path);
  }
  return plan;
}

}  // namespace launcher::publish
