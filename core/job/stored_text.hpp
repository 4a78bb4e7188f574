#pragma once
// The texts of a .part file. Inside the program every text is UTF-8. The file has
// always held them in the Windows ANSI code page (GBK, code page 936, on a Chinese
// system), and Windows builds still write that where it holds the text, so that a
// file saved by any build loads in any other with the same paths:
//  - reading: bytes that are valid UTF-8 are taken as they are; any other bytes are
//    taken as the legacy code page (Windows: the system's ANSI code page; elsewhere:
//    GBK, the code page of the program's own Chinese texts) and converted;
//  - writing: Windows writes the ANSI code page when every character of the text
//    converts and the result cannot be mistaken for UTF-8; otherwise, and on every
//    other system, UTF-8.

#include <optional>
#include <string>
#include <string_view>

namespace folvane {

/// Whether `bytes` is well-formed UTF-8 (no overlong forms, no surrogates).
bool IsValidUtf8(std::string_view bytes);

/// A text as read from a .part field, in UTF-8.
std::string StoredTextToUtf8(std::string_view stored);

/// A UTF-8 text as a .part field stores it; never longer than `utf8`.
std::string Utf8ToStoredText(std::string_view utf8);

/// How many bytes a .part field needs for the UTF-8 text: what the path limits
/// measure, so that a path a Windows build saves in GBK is not refused for the length
/// of its UTF-8 spelling.
std::size_t StoredTextLength(std::string_view utf8);

/// Whether a text, stored in a .part field, reads back as the same text. A text that
/// is not UTF-8 but reads as the legacy code page (the bytes "\xB0\xA1" read as
/// "啊") would come back as another path, naming another file: it is not saved.
bool StoredTextKeeps(std::string_view text);

/// Whether a path read through the legacy code page names the same file as the bytes
/// the .part file holds. Yes on Windows, whose ANSI file calls take those bytes as
/// that very text; no where file names are bytes, so that a legacy path read there
/// may name an unrelated file. Each platform's half gives it.
bool LegacyPathNamesSavedFile();

/// The legacy code page's bytes converted to UTF-8; nothing if they do not convert.
/// Each platform's half gives it.
std::optional<std::string> LegacyToUtf8(std::string_view bytes);

/// The text in the legacy code page if this system writes it and every character
/// converts; nothing otherwise. Each platform's half gives it.
std::optional<std::string> Utf8ToLegacy(std::string_view utf8);

}  // namespace folvane
