// The servers a run may fetch from: the one update.cfg selects, and the
// servers the server list names as its mirrors.
//
// The server list ("../patcher/server/updateserver.txt") gives a server a
// mirror group in an optional third quoted field:
//
//   "Europe"  "https://eu.patch.example/game/"  "quillmere"
//   "America" "https://us.patch.example/game/"  "quillmere"
//   "Test"    "http://10.0.0.5/game/"
//
// Servers of one group hold the same tree; with "Europe" selected the run
// knows Europe first, then America (the other servers of its group, in file
// order, each URL once). A selected server without a group, a selection the
// list does not hold, or no selection: the run knows that one server (or
// the built-in default) alone, as without this extension; readers that take
// only the first two fields never see the third.
//
// RunServers is the run's state: which server is the home (the one the
// product id, the version and the lists come from; at first the selected
// one) and which servers were found down. Worker thread only; filled by
// SelectUpdateServer, once per run.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace launcher {

// One usable line of the server list: the two fields every reader takes and
// the optional group (empty when the line has no third quoted field).
struct ServerListLine {
  std::u16string name;
  std::u16string baseUrl;
  std::u16string group;
};

// The usable lines of ServerListPath in file order; none when it cannot be
// read. Lines are read as SelectUpdateServer reads them.
std::vector<ServerListLine> ReadServerListLines();

class ServerMirrors {
 public:
  struct Server {
    std::u16string name;  // empty for the built-in default
    std::u16string baseUrl;
    bool down = false;  // no connection could be made in this run
  };
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  // Replaces the servers; the first becomes the home. ServerBaseUrl is left
  // as it is (SelectUpdateServer sets it to the first server's URL).
  void Reset(std::vector<Server> servers);
  std::size_t size() const { return servers_.size(); }
  // More than one: the run has fallbacks, and the log names servers.
  bool several() const { return servers_.size() > 1; }
  const Server& at(std::size_t index) const { return servers_.at(index); }
  std::size_t home() const { return home_; }

  void MarkDown(std::size_t index);
  // Makes `index` the home and points the URL family (paths.h) at it.
  void MoveHome(std::size_t index);
  // The first server after `index`, in list order, not found down; kNone
  // when there is none.
  std::size_t NextAfter(std::size_t index) const;
  // The servers a file is tried on, in order: the home, then the others in
  // list order; servers found down are left out unless every one is.
  std::vector<std::size_t> FileOrder() const;
  // What the log calls server `index`: its name, or its URL when unnamed.
  std::u16string Label(std::size_t index) const;

 private:
  std::vector<Server> servers_;
  std::size_t home_ = 0;
};

extern ServerMirrors RunServers;

// The servers for the selected name `selected` from the list's `lines`: the
// last line with that name first, then its group's other servers. Empty when
// no line has the name.
std::vector<ServerMirrors::Server> MirrorsOf(const std::vector<ServerListLine>& lines,
                                             std::u16string_view selected);

}  // namespace launcher
