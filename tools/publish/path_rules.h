// The rules a published file's relative path must meet so that every
// launcher can read its list entry and store the file safely, and the
// mapping from a relative path to its place in the server tree.
//
// Paths here are relative, "/"-separated UTF-8 ("data/main.exe"), as found
// under a release directory. Pure functions; safe from any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace launcher::publish {

// Longest list line, line feed included, that the publisher writes. The
// launcher reads lines of up to 399 bytes with their line end; staying one
// byte below leaves room for a CR added by a text-mode transfer.
inline constexpr std::size_t kMaxListLineBytes = 398;
// Longest name a served file may have on the web server's file system.
inline constexpr std::size_t kMaxServedNameBytes = 255;
// Length of a list digest in its text form.
inline constexpr std::size_t kDigestChars = 32;

// Checks one component of a path (a file or directory name). Returns a
// description of the problem, or nullopt when the name is publishable.
std::optional<std::string> CheckName(std::string_view name);

// Checks a whole relative path: every component, the length of its entry
// token after expansion, of its decoded form, and of the longest list line
// that can hold it. Returns the problem, or nullopt.
std::optional<std::string> CheckRelativePath(std::string_view relPath);

// The path of the compressed file inside the server tree, relative to
// "patcher/patcher/": the encoded path without its leading "./".
std::string ServedRelativePath(std::string_view relPath);

// A key under which names that differ only in letter case are equal, as on
// the file systems of the players' home platform.
std::u16string CaseFoldKey(std::string_view utf8);

}  // namespace launcher::publish
