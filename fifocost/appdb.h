#pragma once
// Finding the application database beside the program.
#include <string>

namespace fifocost {

inline constexpr const char* kAppDatabaseName = "Velmora.DLL";

// The path of `name` in `folder` (a native folder path). Windows matches file
// names whatever their letter case; on a case-sensitive file system the exact
// name is taken when it exists, otherwise the first entry (in byte order)
// whose name differs only in ASCII letter case. Without any, the exact name,
// so that opening it reports the missing file.
std::string findBesideProgram(const std::string& folder,
                              const std::string& name = kAppDatabaseName);

}  // namespace fifocost
