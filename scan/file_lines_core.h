// File lines that the Windows scan and the native scanner write alike.
// Portable: texts only.
#pragma once

inline constexpr char kInfectedWithText[] = "infected with %s";   // path line
inline constexpr char kDeletedText[] = ": (deleted)";             // after the path
inline constexpr char kDeleteFailedText[] = ": (WARNING: delete failed)";
