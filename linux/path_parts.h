// The folder and the last name of a path as the scanner and the restore
// take them apart ("a/b" -> "a", "b"; "/b" -> "/", "b"; "b" -> ".", "b").
#pragma once
#include <string>

namespace native {

inline std::string Parent(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

inline std::string BaseName(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace native
