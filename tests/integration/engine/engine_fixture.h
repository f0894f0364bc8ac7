// Fixture for end-to-end tests of the update paths and the driver: one
// installation (EngineEnv: working directory, string table "S<n> ",
// recording display, simulated clock), release snapshots published by the
// real launcher-publish into a served tree, and a real nginx serving it.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/child_server.h"
#include "support/engine_env.h"
#include "support/nginx_server.h"
#include "support/release_server.h"

namespace launcher::testing {

class EngineFixture : public ::testing::Test {
 protected:
  EngineFixture();

  // Writes release `version` and rebuilds the served tree from all releases.
  void Publish(int version, const Release& files);
  // Starts nginx on the served tree (once) and points the URL family at it.
  void StartServer();
  // Points the URL family at a loopback port where nothing listens (nor can,
  // for the rest of the test).
  void UseUnreachableServer();
  // Writes `files` into ../patcher/ (with server/pid.ini holding pid 1).
  void Install(const Release& files);
  // ../patcher/ without server/ and patcher.exe.
  Release Installed() const;
  // Everything below ../config/ except the update log: what a run left.
  Release ConfigFiles() const;

  // Fresh process state for the next run (cancel flags, list directory,
  // log line, recorded calls); LocalPid back to 1.
  void NewRun();

  std::vector<std::u16string> Statuses() const { return env_.display.Texts(DisplayCall::kStatus); }
  std::vector<std::u16string> Details() const { return env_.display.Texts(DisplayCall::kDetail); }
  std::vector<int> Totals() const { return env_.display.Percents(DisplayCall::kTotal); }
  std::vector<int> FileBars() const { return env_.display.Percents(DisplayCall::kFile); }
  // Update-log lines without time stamps, as narrow text.
  std::vector<std::string> Log() const;
  // Request lines that nginx answered so far (after a short settle).
  std::vector<std::string> Requests() const;
  std::size_t FileRequestCount() const;

  static std::u16string Msg(int slot) { return EngineEnv::Msg(slot); }

  EngineEnv env_;
  std::filesystem::path releases_;
  std::filesystem::path served_;
  std::unique_ptr<NginxServer> nginx_;
  std::unique_ptr<RefusingPort> refusing_;
};

// `count` files spread over four directories, each a few KiB of its own.
Release ManyFiles(int count, unsigned seed);
// The narrow form of a UTF-16 text (ASCII in these tests).
std::string Narrow(std::u16string_view text);

}  // namespace launcher::testing
