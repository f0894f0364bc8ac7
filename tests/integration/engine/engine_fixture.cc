#include "integration/engine/engine_fixture.h"

#include <chrono>
#include <thread>

#include "files/log.h"
#include "support/publish_fixture.h"
#include "update/list_path.h"
#include "update/update_state.h"

namespace launcher::testing {

namespace fs = std::filesystem;

std::string Narrow(std::u16string_view text) {
  std::string out;
  for (char16_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

Release ManyFiles(int count, unsigned seed) {
  Release files;
  for (int i = 0; i < count; ++i) {
    const std::string name = "dir" + std::to_string(i % 4) + "/file" + std::to_string(i) + ".dat";
    files[name] =
        NoiseBytes(1000 + static_cast<std::size_t>(i) * 13, seed + static_cast<unsigned>(i));
  }
  return files;
}

EngineFixture::EngineFixture()
    : releases_(env_.root() / "releases"), served_(env_.root() / "served") {}

void EngineFixture::Publish(int version, const Release& files) {
  WriteRelease(releases_, version, files);
  BuildTestServerTree(releases_, served_);
}

void EngineFixture::StartServer() {
  if (nginx_ == nullptr) nginx_ = std::make_unique<NginxServer>(served_);
  env_.UseServer(nginx_->BaseUrl());
}

void EngineFixture::UseUnreachableServer() {
  // Kept bound for the test: a port merely picked free could be taken by
  // another test's server meanwhile, and the engine would talk to it.
  if (refusing_ == nullptr) refusing_ = std::make_unique<RefusingPort>();
  env_.UseServer("http://127.0.0.1:" + std::to_string(refusing_->port()) + "/");
}

void EngineFixture::Install(const Release& files) {
  WriteTree(env_.Patcher(), files);
  WriteFileBytes(env_.Patcher("server/pid.ini"), "[Version]\npid=1\n");
}

Release EngineFixture::Installed() const {
  Release tree = ReadTree(env_.Patcher(), "server");
  tree.erase("patcher.exe");
  return tree;
}

Release EngineFixture::ConfigFiles() const {
  Release tree = ReadTree(env_.root() / "config");
  tree.erase("patcher/update.log");
  return tree;
}

void EngineFixture::NewRun() {
  env_.NewRun();
  env_.display.Clear();
  LocalPid = 1;
}

std::vector<std::string> EngineFixture::Log() const {
  std::vector<std::string> lines;
  for (const auto& line : env_.LogLines()) lines.push_back(Narrow(line));
  return lines;
}

std::vector<std::string> EngineFixture::Requests() const {
  if (nginx_ == nullptr) return {};
  // nginx writes a request's line after it has answered it.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::vector<std::string> requests;
  for (const auto& line : nginx_->AccessLogLines())
    requests.push_back(line.substr(0, line.find('\t')));
  return requests;
}

std::size_t EngineFixture::FileRequestCount() const {
  std::size_t n = 0;
  for (const auto& line : Requests())
    if (line.rfind("GET /patcher/patcher/", 0) == 0) ++n;
  return n;
}

}  // namespace launcher::testing
