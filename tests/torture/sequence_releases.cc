#include "torture/sequence_releases.h"

#include <set>

namespace launcher::testing {
namespace {

// The places files take. "data/x" is a file in some releases and a
// directory (holding the two paths after it) in others.
const char* const kSlots[] = {"readme.txt", "empty.dat",  "bin/game.exe",
                              "data/a.pak", "data/b.pak", "deep/l1/l2/l3/l4/l5/deep.ini",
                              "big.bin"};
const char* const kFlip = "data/x";
const char* const kFlipInside[] = {"data/x/inner.bin", "data/x/more.bin"};

bool Chance(std::mt19937& rng, unsigned percent) { return Pick(rng, 100) < percent; }

// `content` rebuilt the way a program or an archive changes between
// releases: a few bytes changed and a few inserted, so the publisher makes
// a patch for it.
std::string EditedContent(const std::string& content, std::mt19937& rng) {
  std::string edited = content;
  for (int i = 0; i < 3; ++i) {
    const std::size_t at = Pick(rng, edited.size() - 16);
    edited.replace(at, 16, NoiseBytes(16, Pick(rng, 1u << 31)));
  }
  edited.insert(Pick(rng, edited.size()), NoiseBytes(100 + Pick(rng, 400), Pick(rng, 1u << 31)));
  return edited;
}

std::string FreshContent(const std::string& path, std::mt19937& rng) {
  if (path == "empty.dat") return {};
  if (path == "big.bin")
    return NoiseBytes((1 << 20) + 100000 + Pick(rng, 50000), Pick(rng, 1u << 31));
  return NoiseBytes(100 + Pick(rng, 40000), Pick(rng, 1u << 31));
}

}  // namespace

int ReleaseHistory::Add(std::mt19937& rng) {
  Release next;
  const Release* last = releases_.empty() ? nullptr : &releases_.back();
  // Every content a path has had, for putting one back.
  auto earlier = [&](const std::string& path) {
    std::vector<std::string> contents;
    for (const Release& release : releases_) {
      auto it = release.find(path);
      if (it != release.end() &&
          (last == nullptr || !last->count(path) || last->at(path) != it->second))
        contents.push_back(it->second);
    }
    return contents;
  };
  auto evolve = [&](const std::string& path) {
    const bool present = last != nullptr && last->count(path) != 0;
    if (!present) {
      if (Chance(rng, last == nullptr ? 70 : 30)) next[path] = FreshContent(path, rng);
      return;
    }
    const unsigned roll = Pick(rng, 100);
    const std::vector<std::string> older = earlier(path);
    if (roll < 45) {
      next[path] = last->at(path);
    } else if (roll < 65 && last->at(path).size() >= 8192) {
      next[path] = EditedContent(last->at(path), rng);
    } else if (roll < 65) {
      next[path] = FreshContent(path, rng);
    } else if (roll < 85 && !older.empty()) {
      next[path] = older[Pick(rng, older.size())];
    }  // otherwise deleted
  };
  for (const char* slot : kSlots) evolve(slot);
  // The place that turns from a file into a directory and back.
  const bool fileNow = last != nullptr && last->count(kFlip) != 0;
  bool directoryNow = false;
  for (const char* inside : kFlipInside)
    directoryNow = directoryNow || (last && last->count(inside));
  const bool flip = Chance(rng, 30);
  if (directoryNow != flip) {
    for (const char* inside : kFlipInside) evolve(inside);
    if (!directoryNow) next[kFlipInside[0]] = FreshContent(kFlipInside[0], rng);
  } else if (fileNow) {
    evolve(kFlip);
  } else {
    const std::vector<std::string> older = earlier(kFlip);
    next[kFlip] = older.empty() || Chance(rng, 50) ? FreshContent(kFlip, rng)
                                                   : older[Pick(rng, older.size())];
  }
  if (next.empty()) next["readme.txt"] = FreshContent("readme.txt", rng);
  releases_.push_back(std::move(next));
  return newest();
}

bool ReleaseHistory::HadContent(const std::string& path, const std::string& content) const {
  for (const Release& release : releases_) {
    auto it = release.find(path);
    if (it != release.end() && it->second == content) return true;
  }
  return false;
}

std::vector<std::string> ReleaseHistory::ChangedSince(int version) const {
  std::set<std::string> changed;
  if (version < 1) {
    for (const Release& release : releases_) {
      for (const auto& [path, content] : release) changed.insert(path);
    }
  }
  for (int v = std::max(version, 1) + 1; v <= newest(); ++v) {
    const Release& before = At(v - 1);
    const Release& after = At(v);
    for (const auto& [path, content] : before) {
      auto it = after.find(path);
      if (it == after.end() || it->second != content) changed.insert(path);
    }
    for (const auto& [path, content] : after) {
      if (!before.count(path)) changed.insert(path);
    }
  }
  return {changed.begin(), changed.end()};
}

std::string ReleaseHistory::OlderContent(const std::string& path, std::mt19937& rng) const {
  std::vector<std::string> contents;
  for (int v = 1; v < newest(); ++v) {
    auto it = At(v).find(path);
    if (it == At(v).end()) continue;
    const Release& last = At(newest());
    const bool current = last.count(path) != 0 && last.at(path) == it->second;
    if (!current) contents.push_back(it->second);
  }
  if (!contents.empty()) return contents[Pick(rng, contents.size())];
  const Release& release = releases_[Pick(rng, releases_.size())];
  auto it = release.begin();
  std::advance(it, static_cast<long>(Pick(rng, release.size())));
  return it->second;
}

}  // namespace launcher::testing
