#include "flash/row_codecs.hpp"

#include "ecc/scheme.hpp"
#include "flash/pages.hpp"

namespace folvane {

bool RowCodecs::Any() const {
  for (std::size_t i = 0; i < ecc.size(); ++i) {
    if (ecc[i] || raw[i]) return true;
  }
  return false;
}

std::array<const PageCodec*, kRowCount> RowCodecs::PageCodecs() const {
  std::array<const PageCodec*, kRowCount> codecs{};
  for (std::size_t i = 0; i < ecc.size(); ++i) codecs[i] = ecc[i] ? &*ecc[i] : nullptr;
  return codecs;
}

std::optional<RowCodecs> MakeRowCodecs(const PartitionSet& set, const std::function<bool(int row)>& isTicked,
                                       int blockModeIndex, std::string& problem) {
  const PageLayout page = PageLayoutOf(blockModeIndex);
  RowCodecs codecs;
  for (int row = 1; row <= kRowCount; ++row) {
    if (!isTicked(row)) continue;
    const PartitionSlot& slot = set.Slot(row);
    for (const auto& [text, into] : {std::pair{&slot.ecc, &codecs.ecc}, {&slot.rawEcc, &codecs.raw}}) {
      if (text->empty()) continue;
      const auto scheme = ParseScheme(*text);
      auto codec = scheme.ok() ? PageCodec::Make(scheme.value(), page.dataBytes, page.spareBytes)
                               : EccResult<PageCodec>::Fail(scheme.error());
      if (!codec.ok()) {
        problem = "row " + std::to_string(row) + ": " + codec.error();
        return std::nullopt;
      }
      (*into)[static_cast<std::size_t>(row - 1)].emplace(std::move(codec.value()));
    }
  }
  return codecs;
}

}  // namespace folvane
