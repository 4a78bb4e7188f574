// Times the ECC codes and page layouts on pseudo-random data and prints, for each
// scheme on its page size:
//  - encoding: the code alone over whole pages of steps, in GB of data per second of
//    processor time (one core; wanted: at least 1);
//  - layout: the full page written (data placed, ECC placed, spare filled), likewise;
//  - check: recomputing and comparing an error-free page's ECC, as a ratio to its
//    layout's time (wanted: at most 1) and to the code alone;
//  - decode: reading back an error-free page, as a ratio to its layout's time.
// Processor time, not wall time, since the machine is shared; each figure is the
// median of the runs.
// Usage: ecc_bench [--mib N] [--runs N]   (defaults: 64 MiB of page data, 5 runs)

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "ecc/page.hpp"
#include "ecc/scheme.hpp"

namespace {

using folvane::bench::Median;

[[noreturn]] void Stop(const std::string& why) {
  std::fprintf(stderr, "ecc_bench: %s\n", why.c_str());
  std::exit(2);
}

double CpuSeconds(const std::function<void()>& run) {
  const std::clock_t t0 = std::clock();
  run();
  return static_cast<double>(std::clock() - t0) / CLOCKS_PER_SEC;
}

struct Row {
  const char* scheme;
  std::uint32_t data, spare;
};

}  // namespace

int main(int argc, char** argv) {
  std::size_t mib = 64;
  int runs = 5;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--mib" || arg == "--runs") && i + 1 < argc) {
      const long v = std::strtol(argv[++i], nullptr, 10);
      if (v <= 0) Stop("bad number " + std::string(argv[i]));
      if (arg == "--mib") mib = static_cast<std::size_t>(v);
      else runs = static_cast<int>(v);
    } else {
      Stop("usage: ecc_bench [--mib N] [--runs N]");
    }
  }
  const Row rows[] = {{"linux-hamming", 2048, 64},    {"linux-hamming/512", 2048, 64}, {"linux-bch4/512", 2048, 64},
                      {"linux-bch8/512", 2048, 64},   {"linux-bch16/1024", 8192, 640}, {"linux-bch24/1024", 8192, 640},
                      {"qcom-bch8", 4096, 224}};
  std::printf("%-18s %-9s %8s %8s %10s %10s %11s\n", "scheme", "page", "encode", "layout", "check/lay", "check/enc",
              "decode/lay");
  std::printf("%-18s %-9s %8s %8s %10s %10s %11s\n", "", "", "GB/s", "GB/s", "(ratio)", "(ratio)", "(ratio)");
  for (const Row& row : rows) {
    const auto scheme = folvane::ParseScheme(row.scheme);
    if (!scheme.ok()) Stop(scheme.error());
    const auto codec = folvane::PageCodec::Make(*scheme, row.data, row.spare);
    if (!codec.ok()) Stop(codec.error());
    const std::size_t pages = (mib << 20) / row.data;
    std::mt19937_64 rng(1);
    std::vector<std::uint8_t> data(pages * row.data);
    for (std::size_t i = 0; i + 8 <= data.size(); i += 8) {
      const std::uint64_t v = rng();
      for (int k = 0; k < 8; ++k) data[i + k] = static_cast<std::uint8_t>(v >> (8 * k));
    }
    std::vector<std::uint8_t> laid(pages * codec->PageBytes());
    std::vector<std::uint8_t> back(row.data);
    const folvane::PagePlan& plan = codec->Plan();
    const std::uint32_t step = scheme->step;

    // The code alone: the steps of a page encoded together, as the layout does.
    std::vector<std::uint8_t> ecc(plan.steps.size() * 64);
    auto bch = scheme->code == folvane::EccCode::kBch ? folvane::BchCode::Make(scheme->Bch()) : folvane::EccResult<folvane::BchCode>::Fail("");
    std::vector<const std::uint8_t*> in(plan.steps.size());
    std::vector<std::uint8_t*> out(plan.steps.size());
    for (std::size_t s = 0; s < out.size(); ++s) out[s] = ecc.data() + s * 64;
    const std::size_t fullSteps = row.data / step;  // whole steps of a page, for the code alone
    in.resize(fullSteps);
    out.resize(fullSteps);

    std::vector<double> encode, layout, check, decode;
    std::size_t sink = 0;
    for (int r = 0; r < runs; ++r) {
      encode.push_back(CpuSeconds([&] {
        for (std::size_t p = 0; p < pages; ++p) {
          const std::uint8_t* page = data.data() + p * row.data;
          if (bch.ok()) {
            for (std::size_t s = 0; s < fullSteps; ++s) in[s] = page + s * step;
            bch->EncodeSteps(in, out);
          } else {
            for (std::size_t s = 0; s < fullSteps; ++s) folvane::HammingEncode(page + s * step, step, scheme->order, out[s]);
          }
          sink += ecc[0];
        }
      }));
      layout.push_back(CpuSeconds([&] {
        for (std::size_t p = 0; p < pages; ++p)
          sink += static_cast<std::size_t>(codec->LayOut(std::span(data.data() + p * row.data, row.data),
                                                         std::span(laid.data() + p * codec->PageBytes(), codec->PageBytes())));
      }));
      check.push_back(CpuSeconds([&] {
        for (std::size_t p = 0; p < pages; ++p) {
          const auto c = codec->Check(std::span(laid.data() + p * codec->PageBytes(), codec->PageBytes()));
          if (!c.differing.empty() || c.erased) Stop(std::string(row.scheme) + ": a page laid out does not check");
        }
      }));
      decode.push_back(CpuSeconds([&] {
        for (std::size_t p = 0; p < pages; ++p) {
          const auto d = codec->Decode(std::span(laid.data() + p * codec->PageBytes(), codec->PageBytes()), back);
          if (d.state != folvane::PageState::kClean) Stop(std::string(row.scheme) + ": a page laid out does not decode");
          sink += back[0];
        }
      }));
    }
    const double bytes = static_cast<double>(data.size());
    const double lay = Median(layout);
    char page[32];
    std::snprintf(page, sizeof page, "%u+%u", row.data, row.spare);
    std::printf("%-18s %-9s %8.2f %8.2f %10.2f %10.2f %11.2f\n", row.scheme, page, bytes / Median(encode) / 1e9,
                bytes / lay / 1e9, Median(check) / lay, Median(check) / Median(encode), Median(decode) / lay);
    if (sink == 1) std::printf(" ");  // keeps the work from being optimised away
  }
  return 0;
}
