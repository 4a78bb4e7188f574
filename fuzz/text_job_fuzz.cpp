// Feeds arbitrary text to the text job reader. A job it accepts is written again as a
// text job and reads back as the same job; one it refuses says why, and where when
// it can.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "job/text_job.hpp"
#include "fuzz_support.hpp"

using folvane::fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace folvane;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto parsed = ParseTextJob(text, "/jobs");
  if (const auto* error = std::get_if<TextJobError>(&parsed)) {
    Require(!error->problem.empty());
    return 0;
  }
  const Job& job = std::get<Job>(parsed);
  Require(job.rows.size() <= static_cast<std::size_t>(kRowCount));
  std::string problem;
  const auto again = TextJobOf(job, "/jobs", problem);
  Require(again.has_value());
  const auto reread = ParseTextJob(*again, "/jobs");
  Require(std::holds_alternative<Job>(reread) && std::get<Job>(reread) == job);
  return 0;
}
