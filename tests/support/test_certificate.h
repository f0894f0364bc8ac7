// A self-signed certificate for a test's TLS server, made by the openssl
// tool into a private directory: valid for "localhost" and 127.0.0.1
// (Schannel under Wine matches names only), two days. Clients trust it by
// taking `cert` as their certificate authority.
//
// Lifetime: the files live as long as the object. Throws std::runtime_error
// when openssl fails. Not thread-safe.
#pragma once

#include <string>

#include "support/temp_dir.h"

namespace launcher::testing {

class TestCertificate {
 public:
  TestCertificate();
  const std::string& cert() const { return cert_; }
  const std::string& key() const { return key_; }

 private:
  TempDir dir_;
  std::string cert_;
  std::string key_;
};

}  // namespace launcher::testing
