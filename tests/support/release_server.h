// Test helpers for the update engine: releases (maps of relative path to
// content), a patch server tree built from them with the engine's own
// compression, digest and signing code, and comparison of installed trees.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace launcher::testing {

class NginxServer;

// Relative path ("data/main.exe") -> content.
using Release = std::map<std::string, std::string>;

// `count` bytes of deterministic noise (does not compress), from `seed`.
std::string NoiseBytes(std::size_t count, unsigned seed);

// The private key whose public half is compiled into the engine.
std::string TestPrivateKey();

class ServerTree {
 public:
  // Lays out root/info/pid (holding 1) and root/patcher/.
  explicit ServerTree(std::filesystem::path root);

  const std::filesystem::path& root() const { return root_; }
  // Stores the compressed form of `content` where the engine fetches
  // `relPath` from; returns the list digest.
  std::string AddFile(std::string_view relPath, std::string_view content);
  void WriteVersion(int version);
  // Signs `content` and stores it as root/patcher/v-<distance>.inc.
  void WriteSignedList(int distance, std::string_view content);
  // The signed bytes of a list content.
  static std::string Sign(std::string_view content);

  // The list content (without marker) that turns `from` into `to`, with its
  // files added to the tree; one "/" entry per directory, then plain names.
  // `comments` puts a comment line before every entry.
  std::string DiffList(const Release& from, const Release& to, bool comments = false);

 private:
  std::filesystem::path root_;
};

// The encoded list token of a relative path: "/" + directory runs + name run.
std::string DirectoryToken(std::string_view relPath);

// Writes a release under `dir` (creating directories).
void WriteTree(const std::filesystem::path& dir, const Release& release);
// Every regular file below `dir` (relative paths), optionally skipping the
// subdirectory `skip` (e.g. "server").
Release ReadTree(const std::filesystem::path& dir, std::string_view skip = {});
// Every directory below `dir` (relative paths).
std::vector<std::string> ListDirectories(const std::filesystem::path& dir);

// The access log once nginx has logged every finished request: read until
// it stops growing (nginx writes a line just after answering).
std::vector<std::string> SettledAccessLog(const NginxServer& nginx);

}  // namespace launcher::testing
