// The legacy code page on POSIX systems: GBK, read through iconv; never written.
#include <iconv.h>

#include "job/stored_text.hpp"

namespace folvane {

std::optional<std::string> LegacyToUtf8(std::string_view bytes) {
  const iconv_t cd = ::iconv_open("UTF-8", "GBK");
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out(bytes.size() * 2 + 4, '\0');  // GBK takes 1 or 2 bytes, UTF-8 at most 3
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

std::optional<std::string> Utf8ToLegacy(std::string_view) {
  // UTF-8 is this system's own encoding, and what every build reads back.
  return std::nullopt;
}

}  // namespace folvane
