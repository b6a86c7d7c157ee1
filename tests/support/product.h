// The program's name and the title it shows and logs, spelled out once for
// every test (so that a changed character in the program is caught).
#pragma once
#include <string>

namespace testsupport {

inline const std::string kProductName = "Ostrovel W32.Quorvin Removal Tool";
inline const std::string kProductTitle = kProductName + " 1.0.4";

}  // namespace testsupport
