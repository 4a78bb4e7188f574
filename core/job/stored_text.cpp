#include "job/stored_text.hpp"

namespace folvane {

bool IsValidUtf8(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    std::size_t extra = 0;
    char32_t code = 0, least = 0;
    if (b < 0x80) {
      ++i;
      continue;
    } else if ((b & 0xE0) == 0xC0) {
      extra = 1, code = b & 0x1F, least = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      extra = 2, code = b & 0x0F, least = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      extra = 3, code = b & 0x07, least = 0x10000;
    } else {
      return false;
    }
    if (extra >= bytes.size() - i) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto c = static_cast<unsigned char>(bytes[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      code = (code << 6) | (c & 0x3F);
    }
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

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
