#include "job/stored_text.hpp"

#include <utf8cpp/utf8.h>

namespace folvane {

bool IsValidUtf8(std::string_view bytes) { return utf8::is_valid(bytes.begin(), bytes.end()); }

std::string StoredTextToUtf8(std::string_view stored) {
  if (IsValidUtf8(stored)) return std::string(stored);
  if (auto converted = LegacyToUtf8(stored)) return *converted;
  return std::string(stored);  // kept byte for byte: nothing better can be made of it
}

std::string Utf8ToStoredText(std::string_view utf8) {
  if (auto legacy = Utf8ToLegacy(utf8)) {
    // Legacy bytes that also read as UTF-8 would come back as another text.
    if (*legacy == utf8 || !IsValidUtf8(*legacy)) return *legacy;
  }
  return std::string(utf8);
}

std::size_t StoredTextLength(std::string_view utf8) { return Utf8ToStoredText(utf8).size(); }

bool StoredTextKeeps(std::string_view text) { return StoredTextToUtf8(Utf8ToStoredText(text)) == text; }

}  // namespace folvane
