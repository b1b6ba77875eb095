#pragma once
// Whole files as bytes, for tests that look at what a program wrote.
#include <filesystem>
#include <string>

namespace testsupport {

// The file's bytes; throws std::runtime_error when it cannot be read.
std::string readBytes(const std::filesystem::path& file);
// Replaces the file's content, making its folders as needed; throws
// std::runtime_error when it cannot.
void writeBytes(const std::filesystem::path& file, const std::string& bytes);

}  // namespace testsupport
