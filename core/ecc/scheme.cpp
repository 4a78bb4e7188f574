#include "ecc/scheme.hpp"

#include <bit>

#include <algorithm>
#include <array>
#include <charconv>
#include <map>
#include <optional>

#include <fmt/format.h>

namespace folvane {

namespace {

// The schemes with a fixed name, as the written-out forms they stand for. The Linux
// BCH family, linux-bch<t>/<step>, is bch:t=<t>,step=<step>.
struct Preset {
  std::string_view name;
  std::string_view form;
};
constexpr std::array<Preset, 5> kPresets = {{
    {"linux-hamming", "hamming:step=256"},
    {"linux-hamming-sm", "hamming:step=256,order=sm"},
    {"linux-hamming/512", "hamming:step=512"},
    // A SoC family's NAND controller on an 8-bit bus: 516-byte codewords, plain BCH,
    // chunks of 528 (t = 4) or 532 (t = 8) bytes.
    {"qcom-bch4", "bch:t=4,step=516,mask=none,chunk=528"},
    {"qcom-bch8", "bch:t=8,step=516,mask=none,chunk=532"},
}};
constexpr std::string_view kBchFamily = "linux-bch";
// The members of the Linux BCH family that the list shows.
constexpr std::array<std::pair<unsigned, std::uint32_t>, 6> kListedFamily = {
    {{4, 512}, {8, 512}, {16, 512}, {8, 1024}, {16, 1024}, {24, 1024}}};

constexpr std::string_view kKnown =
    "known schemes: linux-hamming, linux-hamming-sm, linux-hamming/512, linux-bch<t>/<step> (e.g. "
    "linux-bch8/512, linux-bch16/1024), qcom-bch4, qcom-bch8, "
    "hamming:step=256|512[,order=linux|sm][,at=N], "
    "bch:t=T,step=S[,poly=P][,bits=msb|lsb][,mask=erased|none][,bytes=B][,pad=X][,at=N|,chunk=C]";

std::string Quoted(std::string_view text) {
  std::string quoted(1, '"');  // not "\"" + string, which g++ 12 warns about wrongly (-Wrestrict)
  quoted += text;
  quoted += '"';
  return quoted;
}

std::string Hex(std::uint32_t v) { return fmt::format("0x{:02X}", v); }

std::string N(std::uint64_t v) { return std::to_string(v); }

// Decimal, or hexadecimal after 0x; nothing for anything else or beyond 32 bits.
std::optional<std::uint32_t> Number(std::string_view text) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  std::uint32_t v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, base);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return v;
}

template <class T = EccScheme>
EccResult<T> Malformed(std::string_view text, const std::string& why) {
  return EccResult<T>::Fail("ECC scheme " + Quoted(text) + ": " + why + "; " + std::string(kKnown));
}

EccResult<EccScheme> Refused(std::string_view text, const std::string& why) {
  return EccResult<EccScheme>::Fail("ECC scheme " + Quoted(text) + ": " + why);
}

// The polynomial's degree: its highest set bit (a shift by 32 would be no number).
unsigned Degree(std::uint32_t poly) { return poly == 0 ? 0 : static_cast<unsigned>(std::bit_width(poly)) - 1; }

// A written-out form's `key=value` pairs, and the values of its numeric keys.
struct FormFields {
  std::map<std::string_view, std::string_view> text;
  std::map<std::string_view, std::uint32_t> numbers;
  [[nodiscard]] bool Has(std::string_view key) const { return numbers.count(key) != 0; }
};

// The pairs after "hamming:" or "bch:" (`text` without it), each key allowed for the
// code once, the numeric ones numbers, step= given.
EccResult<FormFields> ReadFields(std::string_view text, bool hamming, std::string_view shown) {
  const std::vector<std::string_view> allowed =
      hamming ? std::vector<std::string_view>{"step", "order", "at"}
              : std::vector<std::string_view>{"t", "step", "poly", "bits", "mask", "bytes", "pad", "at", "chunk"};
  FormFields fields;
  for (std::size_t from = 0; from <= text.size();) {
    std::size_t end = text.find(',', from);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view item = text.substr(from, end - from);
    const std::size_t eq = item.find('=');
    if (eq == std::string_view::npos) return Malformed<FormFields>(shown, Quoted(item) + " is not key=value");
    const std::string_view key = item.substr(0, eq);
    if (std::find(allowed.begin(), allowed.end(), key) == allowed.end())
      return Malformed<FormFields>(shown, "unknown key " + Quoted(key));
    if (!fields.text.emplace(key, item.substr(eq + 1)).second)
      return Malformed<FormFields>(shown, Quoted(key) + " given twice");
    from = end + 1;
  }
  for (const std::string_view key : {"t", "step", "poly", "bytes", "pad", "at", "chunk"}) {
    const auto it = fields.text.find(key);
    if (it == fields.text.end()) continue;
    const auto v = Number(it->second);
    if (!v) return Malformed<FormFields>(shown, std::string(key) + "=" + std::string(it->second) + " is not a number");
    fields.numbers[key] = *v;
  }
  if (!fields.Has("step")) return Malformed<FormFields>(shown, "step=S is missing");
  if (fields.Has("at") && fields.Has("chunk")) return Malformed<FormFields>(shown, "at= and chunk= exclude each other");
  return fields;
}

EccResult<EccScheme> HammingForm(EccScheme s, const FormFields& fields, std::string_view shown) {
  s.code = EccCode::kHamming;
  s.t = 1;
  s.m = 0;
  s.poly = 0;
  s.masked = false;
  s.eccBytes = kHammingEccBytes;
  if (s.step != 256 && s.step != 512) return Malformed(shown, "a Hamming step is 256 or 512 bytes");
  if (fields.text.count("order")) {
    const std::string_view order = fields.text.at("order");
    if (order == "sm") s.order = HammingOrder::kSmartMedia;
    else if (order != "linux") return Malformed(shown, "order=" + std::string(order) + " is not linux or sm");
  }
  return s;
}

// A BCH form's t and its field: the one poly= names, else the smallest that holds it.
EccResult<EccScheme> BchField(EccScheme s, const FormFields& fields, std::string_view shown) {
  if (!fields.Has("t")) return Malformed(shown, "t=T is missing");
  s.t = fields.numbers.at("t");
  if (s.t == 0) return Malformed(shown, "t must be at least 1");
  if (s.step == 0 || s.step > 8190) return Malformed(shown, "a BCH step is 1 to 8190 bytes");
  const std::uint64_t dataBits = std::uint64_t{s.step} * 8;
  if (fields.Has("poly")) {
    s.poly = fields.numbers.at("poly");
    s.m = Degree(s.poly);
    if (s.m < 9 || s.m > 16)
      return Refused(shown, "poly=" + Hex(s.poly) + " is of degree " + N(s.m) + "; fields GF(2^9) to GF(2^16) are supported");
    if (!GaloisField::Make(s.m, s.poly))
      return Refused(shown, "poly=" + Hex(s.poly) + " is not a primitive polynomial of degree " + N(s.m));
    const std::uint64_t bits = dataBits + std::uint64_t{s.m} * s.t, room = (std::uint64_t{1} << s.m) - 1;
    if (bits > room)
      return Refused(shown, "t=" + N(s.t) + " does not fit GF(2^" + N(s.m) + "): " + N(dataBits) + " data bits + " +
                                N(s.m) + " x " + N(s.t) + " ECC bits = " + N(bits) + " bits, more than the " + N(room) +
                                " bits of a codeword; t can be at most " + N(room > dataBits ? (room - dataBits) / s.m : 0));
    return s;
  }
  const auto m = SmallestFieldFor(s.step, s.t);
  if (!m) {
    const std::uint64_t bits = dataBits + 16 * std::uint64_t{s.t};
    return Refused(shown, "t=" + N(s.t) + " does not fit any field up to GF(2^16): " + N(dataBits) +
                              " data bits + 16 x " + N(s.t) + " ECC bits = " + N(bits) +
                              " bits, more than the 65535 bits of a codeword; t can be at most " +
                              N(dataBits < 65535 ? (65535 - dataBits) / 16 : 0));
  }
  s.m = *m;
  s.poly = DefaultPrimitivePoly(s.m);
  return s;
}

// A BCH form's bit order, mask, stored ECC bytes and their padding, and chunks.
EccResult<EccScheme> BchStorage(EccScheme s, const FormFields& fields, std::string_view shown) {
  if (fields.text.count("bits")) {
    const std::string_view bits = fields.text.at("bits");
    if (bits == "lsb") s.bits = BitOrder::kLsbFirst;
    else if (bits != "msb") return Malformed(shown, "bits=" + std::string(bits) + " is not msb or lsb");
  }
  if (fields.text.count("mask")) {
    const std::string_view mask = fields.text.at("mask");
    if (mask == "none") s.masked = false;
    else if (mask != "erased") return Malformed(shown, "mask=" + std::string(mask) + " is not erased or none");
  }
  const std::uint32_t codeBytes = s.CodeBytes();
  s.eccBytes = fields.Has("bytes") ? fields.numbers.at("bytes") : codeBytes;
  if (s.eccBytes < codeBytes)
    return Refused(shown, "bytes=" + N(s.eccBytes) + " is fewer than the code's " + N(codeBytes) + " bytes (" +
                              N(BchEccBits(s.m, s.t)) + " ECC bits of t=" + N(s.t) + " over GF(2^" + N(s.m) + "))");
  if (s.eccBytes > 1024) return Malformed(shown, "bytes=" + N(s.eccBytes) + " is more than 1024");
  if (fields.Has("pad")) {
    const std::uint32_t pad = fields.numbers.at("pad");
    if (pad > 0xFF) return Malformed(shown, "pad=" + N(pad) + " is not a byte");
    if (s.eccBytes > codeBytes) s.pad = static_cast<std::uint8_t>(pad);
  }
  if (fields.Has("chunk")) {
    s.placement = EccPlacement::kInterleaved;
    s.chunk = fields.numbers.at("chunk");
    const std::uint64_t need = std::uint64_t{s.step} + 1 + s.eccBytes;
    if (s.chunk < need)
      return Refused(shown, "chunk=" + N(s.chunk) + " is smaller than a codeword of " + N(s.step) +
                                " bytes + 1 marker byte + " + N(s.eccBytes) + " ECC bytes = " + N(need));
  }
  return s;
}

// The written-out forms, `key=value` pairs after "hamming:" or "bch:".
EccResult<EccScheme> ParseForm(std::string_view text, std::string_view shown) {
  const bool hamming = text.starts_with("hamming:");
  if (!hamming && !text.starts_with("bch:")) return Malformed(shown, "unknown name");
  text.remove_prefix(hamming ? 8 : 4);
  const auto fields = ReadFields(text, hamming, shown);
  if (!fields) return EccResult<EccScheme>::Fail(fields.error());
  EccScheme s;
  s.step = fields->numbers.at("step");
  if (fields->Has("at")) {
    s.placement = EccPlacement::kFrom;
    s.at = fields->numbers.at("at");
  }
  if (hamming) return HammingForm(s, *fields, shown);
  auto field = BchField(s, *fields, shown);
  if (!field) return field;
  return BchStorage(*field, *fields, shown);
}

// The Linux BCH family's t and step, if the text is linux-bch<t>/<step>.
std::optional<std::pair<std::uint32_t, std::uint32_t>> FamilyMember(std::string_view text) {
  if (!text.starts_with(kBchFamily)) return std::nullopt;
  text.remove_prefix(kBchFamily.size());
  const std::size_t slash = text.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  const std::string_view tText = text.substr(0, slash), stepText = text.substr(slash + 1);
  auto leadingZero = [](std::string_view digits) { return digits.size() > 1 && digits[0] == '0'; };
  if (leadingZero(tText) || leadingZero(stepText)) return std::nullopt;
  const auto t = Number(tText), step = Number(stepText);
  if (!t || !step || tText.starts_with("0x") || stepText.starts_with("0x")) return std::nullopt;
  return std::pair{*t, *step};
}

bool IsFamily(const EccScheme& s) {
  return s.code == EccCode::kBch && s.placement == EccPlacement::kLinux && s.masked && s.bits == BitOrder::kMsbFirst &&
         s.eccBytes == s.CodeBytes() && SmallestFieldFor(s.step, s.t) == s.m && s.poly == DefaultPrimitivePoly(s.m);
}

std::string FamilyName(unsigned t, std::uint32_t step) { return std::string(kBchFamily) + N(t) + "/" + N(step); }

std::string CodeText(const EccScheme& s) {
  if (s.code == EccCode::kHamming)
    return std::string("Hamming, 1 bit per ") + N(s.step) + " bytes, " +
           (s.order == HammingOrder::kLinux ? "Linux order" : "SmartMedia order");
  std::string text = "BCH t=" + N(s.t) + " per " + N(s.step) + " bytes over GF(2^" + N(s.m) + ")";
  if (s.poly != DefaultPrimitivePoly(s.m)) text += ", polynomial " + Hex(s.poly);
  text += s.masked ? ", masked" : ", unmasked";
  if (s.bits == BitOrder::kLsbFirst) text += ", bits swapped";
  return text;
}

std::string PlacementText(const EccScheme& s) {
  switch (s.placement) {
    case EccPlacement::kLinux:
      return s.code == EccCode::kHamming
                 ? "Linux default: 512-byte pages spare 0-3,6-7 (marker at 5); from spare 40 (64 spare) or 80 (128)"
                 : "Linux default: all steps at the end of the spare area; marker at spare 0-1 (5 on 512-byte pages)";
    case EccPlacement::kFrom: return "all steps from spare byte " + N(s.at);
    case EccPlacement::kInterleaved:
      return "interleaved: " + N(s.step) + "-byte codewords in " + N(s.chunk) +
             "-byte chunks, marker byte at the first spare byte";
  }
  return {};
}

}  // namespace

std::uint32_t EccScheme::CodeBytes() const {
  return code == EccCode::kHamming ? kHammingEccBytes : (BchEccBits(m, t) + 7) / 8;
}

EccResult<EccScheme> ParseScheme(std::string_view text) {
  for (const Preset& p : kPresets)
    if (text == p.name) return ParseForm(p.form, text);
  if (text.starts_with(kBchFamily)) {
    const auto member = FamilyMember(text);
    if (!member) return Malformed(text, "not linux-bch<t>/<step>");
    return ParseForm("bch:t=" + N(member->first) + ",step=" + N(member->second), text);
  }
  return ParseForm(text, text);
}

std::string SchemeText(const EccScheme& s) {
  for (const Preset& p : kPresets) {
    const auto preset = ParseScheme(p.name);
    if (preset.ok() && *preset == s) return std::string(p.name);
  }
  if (IsFamily(s)) return FamilyName(s.t, s.step);
  std::string text;
  if (s.code == EccCode::kHamming) {
    text = "hamming:step=" + N(s.step);
    if (s.order == HammingOrder::kSmartMedia) text += ",order=sm";
  } else {
    text = "bch:t=" + N(s.t) + ",step=" + N(s.step);
    if (SmallestFieldFor(s.step, s.t) != s.m || s.poly != DefaultPrimitivePoly(s.m)) text += ",poly=" + Hex(s.poly);
    if (s.bits == BitOrder::kLsbFirst) text += ",bits=lsb";
    if (!s.masked) text += ",mask=none";
    if (s.eccBytes != s.CodeBytes()) {
      text += ",bytes=" + N(s.eccBytes);
      if (s.pad != 0xFF) text += ",pad=" + Hex(s.pad);
    }
  }
  if (s.placement == EccPlacement::kFrom) text += ",at=" + N(s.at);
  if (s.placement == EccPlacement::kInterleaved) text += ",chunk=" + N(s.chunk);
  return text;
}

std::vector<NamedScheme> NamedSchemes() {
  std::vector<NamedScheme> list;
  auto add = [&list](const std::string& name) {
    const auto s = ParseScheme(name);
    if (s.ok()) list.push_back(NamedScheme{name, *s, CodeText(*s), PlacementText(*s)});
  };
  for (std::size_t i = 0; i < 3; ++i) add(std::string(kPresets[i].name));
  for (const auto& [t, step] : kListedFamily) add(FamilyName(t, step));
  for (std::size_t i = 3; i < kPresets.size(); ++i) add(std::string(kPresets[i].name));
  return list;
}

namespace {

// Interleaved chunks: each codeword's data then its ECC, the bad-block marker's byte
// inserted where the page's data ends. Where the chunks do not fit, why.
std::optional<std::string> PlanChunks(const EccScheme& s, PagePlan& plan) {
  const std::uint32_t dataBytes = plan.dataBytes, spareBytes = plan.spareBytes;
  const std::uint32_t codewords = (dataBytes + s.step - 1) / s.step;
  const std::uint64_t need = std::uint64_t{codewords} * s.chunk;
  if (need > std::uint64_t{dataBytes} + spareBytes)
    return N(dataBytes) + " data bytes make " + N(codewords) + " codewords of " + N(s.step) + " bytes; " +
           N(codewords) + " chunks x " + N(s.chunk) + " bytes = " + N(need) + " bytes, more than the page's " +
           N(dataBytes + std::uint64_t{spareBytes});
  // The bad-block marker's byte is inserted only in the chunk where the page offset
  // dataBytes falls, at that offset within the chunk; the chunk's later bytes move
  // up by one.
  const std::uint32_t markChunk = dataBytes / s.chunk, markAt = dataBytes % s.chunk;
  for (std::uint32_t c = 0; c < codewords; ++c) {
    StepPlace p;
    p.dataFrom = c * s.step;
    p.dataLen = std::min(s.step, dataBytes - p.dataFrom);
    const std::uint32_t start = c * s.chunk;
    const std::uint32_t hole = c == markChunk ? markAt : s.chunk;  // logical index that moves up
    p.split = std::min(hole, s.step);
    p.at[0] = start;
    p.at[1] = start + p.split + (c == markChunk ? 1 : 0);
    p.eccFirst = static_cast<std::uint32_t>(plan.eccOffsets.size());
    for (std::uint32_t i = 0; i < s.eccBytes; ++i) {
      const std::uint32_t logical = s.step + i;
      plan.eccOffsets.push_back(start + logical + (logical >= hole ? 1 : 0));
    }
    plan.steps.push_back(p);
  }
  return std::nullopt;
}

// The ECC bytes of all steps in the spare area, kept off the bad-block marker.
struct SpareRoom {
  std::uint32_t spareBytes = 0;
  std::uint64_t total = 0;  ///< ECC bytes of all steps
  std::string needs;        ///< the arithmetic of `total`, for people
  bool small = false;       ///< a page of 512 data bytes or fewer
  std::uint32_t markFirst = 0, markLast = 0;
  std::string marker;
  std::vector<std::uint32_t> spareAt;  ///< spare offset of every ECC byte, in order

  SpareRoom(std::uint32_t dataBytes, std::uint32_t spare, std::uint32_t steps, std::uint32_t e)
      : spareBytes(spare), total(std::uint64_t{steps} * e) {
    needs = N(steps) + " step" + (steps == 1 ? "" : "s") + " x " + N(e) + " ECC bytes = " + N(total) + " bytes";
    // The bad-block marker: spare byte 5 on pages of 512 data bytes, 0-1 on larger ones.
    small = dataBytes <= 512;
    markFirst = small ? 5 : 0;
    markLast = small ? 5 : 1;
    marker = small ? "spare byte 5 (the bad-block marker)" : "spare bytes 0-1 (the bad-block marker)";
  }

  // All of them in one run from spare byte `from`, or why not.
  std::optional<std::string> From(std::uint64_t from, const std::string& where) {
    if (from + total > spareBytes)
      return needs + " " + where + ", spare bytes " + N(from) + "-" + N(from + total - 1) + ", beyond the " +
             N(spareBytes) + " spare bytes";
    if (total > 0 && from <= markLast && from + total - 1 >= markFirst)
      return needs + " " + where + ", spare bytes " + N(from) + "-" + N(from + total - 1) + ", over " + marker;
    for (std::uint64_t i = 0; i < total; ++i) spareAt.push_back(static_cast<std::uint32_t>(from + i));
    return std::nullopt;
  }
};

// Where the scheme puts the ECC bytes in the spare area (`room.spareAt`), or why it
// cannot.
std::optional<std::string> PlaceInSpare(const EccScheme& s, SpareRoom& room) {
  const std::uint32_t spareBytes = room.spareBytes;
  if (s.placement == EccPlacement::kFrom) return room.From(s.at, "from spare byte " + N(s.at));
  if (s.code == EccCode::kHamming && room.small) {
    constexpr std::array<std::uint32_t, 6> kSmallPage = {0, 1, 2, 3, 6, 7};
    if (room.total > kSmallPage.size())
      return room.needs + ", more than the 6 places of the Linux layout (spare bytes 0-3 and 6-7)";
    if (spareBytes < 8)
      return "the Linux layout uses spare bytes 0-3 and 6-7, more than the " + N(spareBytes) + " spare bytes";
    room.spareAt.assign(kSmallPage.begin(), kSmallPage.begin() + static_cast<std::ptrdiff_t>(room.total));
    return std::nullopt;
  }
  if (s.code == EccCode::kHamming) {
    if (spareBytes != 64 && spareBytes != 128)
      return "the Linux Hamming layout starts at spare byte 40 with 64 spare bytes and 80 with 128, and has no "
             "place with " + N(spareBytes) + " (hamming:step=" + N(s.step) + ",at=N places it)";
    return room.From(spareBytes == 64 ? 40 : 80, "from spare byte " + N(spareBytes == 64 ? 40 : 80));
  }
  if (room.total > spareBytes) return room.needs + ", more than the " + N(spareBytes) + " spare bytes";
  return room.From(spareBytes - room.total, "at the end of the spare area");
}

// Steps in the page's data in place, their ECC in the spare area. Where they do not
// fit, why.
std::optional<std::string> PlanInPlace(const EccScheme& s, PagePlan& plan) {
  const std::uint32_t dataBytes = plan.dataBytes, e = s.eccBytes;
  if (dataBytes % s.step != 0)
    return "steps of " + N(s.step) + " bytes do not divide " + N(dataBytes) + " data bytes (" + N(dataBytes) + " = " +
           N(dataBytes / s.step) + " x " + N(s.step) + " + " + N(dataBytes % s.step) + ")";
  const std::uint32_t steps = dataBytes / s.step;
  SpareRoom room(dataBytes, plan.spareBytes, steps, e);
  if (auto problem = PlaceInSpare(s, room)) return problem;

  plan.contiguous = true;
  for (std::uint32_t st = 0; st < steps; ++st) {
    StepPlace p;
    p.dataFrom = st * s.step;
    p.dataLen = s.step;
    p.split = s.step;
    p.at[0] = p.at[1] = p.dataFrom;
    p.eccFirst = st * e;
    for (std::uint32_t i = 0; i < e; ++i) {
      plan.eccOffsets.push_back(dataBytes + room.spareAt[p.eccFirst + i]);
    }
    plan.steps.push_back(p);
  }
  return std::nullopt;
}

}  // namespace

EccResult<PagePlan> PlanPage(const EccScheme& s, std::uint32_t dataBytes, std::uint32_t spareBytes) {
  PagePlan plan;
  plan.dataBytes = dataBytes;
  plan.spareBytes = spareBytes;
  const std::optional<std::string> problem =
      s.placement == EccPlacement::kInterleaved ? PlanChunks(s, plan) : PlanInPlace(s, plan);
  if (problem)
    return EccResult<PagePlan>::Fail(SchemeText(s) + " does not fit a page of " + N(dataBytes) + " + " +
                                     N(spareBytes) + " bytes: " + *problem);
  return plan;
}

bool Fits(const EccScheme& scheme, std::uint32_t dataBytes, std::uint32_t spareBytes, std::string* why) {
  auto plan = PlanPage(scheme, dataBytes, spareBytes);
  if (!plan.ok() && why) *why = plan.error();
  return plan.ok();
}

}  // namespace folvane
