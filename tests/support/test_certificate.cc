#include "support/test_certificate.h"

#include <cstdlib>
#include <stdexcept>

namespace launcher::testing {

TestCertificate::TestCertificate()
    : cert_((dir_ / "cert.pem").string()), key_((dir_ / "key.pem").string()) {
  const std::string command =
      "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost "
      "-addext subjectAltName=DNS:localhost,IP:127.0.0.1 -keyout " +
      key_ + " -out " + cert_ + " 2>/dev/null";
  if (std::system(command.c_str()) != 0) throw std::runtime_error("openssl req failed");
}

}  // namespace launcher::testing
