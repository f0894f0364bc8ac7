// Helpers of the signing tests: the test keys and the openssl command line,
// which signs and verifies independently of our own code.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "support/temp_dir.h"

namespace launcher::testing {

std::filesystem::path KeyPath(std::string_view name);  // e.g. "test-private.pem"
std::string ReadKey(std::string_view name);
std::u16string U16(const std::filesystem::path& path);

// Runs a shell command; returns its exit status.
int Run(const std::string& command);

// Signature of `content` by `openssl dgst -md5 -sign`, in base64 lines of 64
// characters as `openssl base64` writes them.
std::string OpensslSignBase64(const TempDir& dir, std::string_view content,
                              std::string_view privateKey = "test-private.pem");
// True when `openssl dgst -md5 -verify` accepts the base64 signature.
bool OpensslVerifies(const TempDir& dir, std::string_view content, std::string_view base64,
                     std::string_view publicKey = "test-public.pem");

inline constexpr std::string_view kMarkerLine = "-----BEGIN KESTREL SIGNATURE-----\n";

}  // namespace launcher::testing
