// Deterministic inputs for the pack tests: text-like lines, binary-like
// records and incompressible noise, the same bytes on every machine.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

namespace launcher::testing {

std::string MixedContent(std::size_t size, unsigned seed);
std::u16string U16(const std::filesystem::path& path);

}  // namespace launcher::testing
