// Feeds arbitrary text to the ECC scheme reader (--ecc, --raw-ecc, a text job's ecc
// and raw-ecc). A scheme it accepts is written again as the shortest text and reads
// back as the same scheme, and its plan for a page keeps every byte inside the page;
// one it refuses says why.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>

#include "ecc/scheme.hpp"
#include "fuzz_support.hpp"

using folvane::fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace folvane;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto parsed = ParseScheme(text);
  if (!parsed.ok()) {
    Require(!parsed.error().empty());
    return 0;
  }
  const std::string again = SchemeText(*parsed);
  const auto reread = ParseScheme(again);
  Require(reread.ok() && *reread == *parsed);
  Require(SchemeText(*reread) == again);
  // The smallest and a large page of the block modes.
  for (const auto& [dataBytes, spareBytes] : {std::pair{512u, 16u}, {2048u, 64u}, {8192u, 640u}}) {
    const auto plan = PlanPage(*parsed, dataBytes, spareBytes);
    if (!plan.ok()) continue;
    const std::uint32_t pageBytes = dataBytes + spareBytes;
    Require(plan->eccOffsets.size() == plan->steps.size() * parsed->eccBytes);
    for (const std::uint32_t at : plan->eccOffsets) Require(at < pageBytes);
    for (const StepPlace& p : plan->steps) {
      Require(p.split <= parsed->step && p.dataFrom + p.dataLen <= dataBytes);
      Require(p.at[0] + std::uint64_t{p.split} <= pageBytes);
      Require(p.at[1] + std::uint64_t{parsed->step - p.split} <= pageBytes);
    }
  }
  return 0;
}
