// The legacy code page on POSIX systems: GBK, read through iconv; never written.
#include <iconv.h>

#include "job/stored_text.hpp"

namespace folvane {

std::optional<std::string> LegacyToUtf8(std::string_view bytes) {
  const iconv_t cd = ::iconv_open("UTF-8", "GBK");
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  // The worst case is one byte to three: GBK's single byte 0x80 is the euro sign,
  // three bytes in UTF-8 (a two-byte GBK character never needs more than three).
  std::string out(bytes.size() * 3 + 1, '\0');
  std::string in(bytes);
  char* src = in.data();
  std::size_t srcLeft = in.size();
  char* dst = out.data();
  std::size_t dstLeft = out.size();
  const std::size_t done = ::iconv(cd, &src, &srcLeft, &dst, &dstLeft);
  ::iconv_close(cd);
  if (done == static_cast<std::size_t>(-1) || srcLeft != 0) return std::nullopt;
  out.resize(out.size() - dstLeft);
  return out;
}

bool LegacyPathNamesSavedFile() { return false; }

std::optional<std::string> Utf8ToLegacy(std::string_view) {
  // UTF-8 is this system's own encoding, and what every build reads back.
  return std::nullopt;
}

}  // namespace folvane
