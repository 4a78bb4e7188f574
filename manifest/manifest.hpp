#pragma once
// The manifest: what a completed merge wrote, as the device programmer's side can
// check it without the images. Its model, built from the digests a merge's tap took;
// its two file forms (JSON, and the text `sha256sum -c` reads); reading the JSON
// form back; and verifying outputs against it (verify_manifest.hpp).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "manifest/digest.hpp"
#include "io/file_io.hpp"
#include "merge/merge.hpp"

namespace folvane::manifest {

/// One partition's entry in a manifest.
struct ManifestPartition {
  int row = 0;
  std::string name;  ///< the row's name, from a text job; empty: none
  std::string ecc;   ///< the ECC scheme its image of page data was laid out with; empty: none
  std::uint32_t startBlock = 0;
  std::uint32_t endBlock = 0;
  std::uint32_t imageBlocks = 0;
  std::uint64_t offset = 0;  ///< in the data image
  DigestValue digest;        ///< of its blocks: the image and its 0xFF padding
  /// The byte sum of its whole range, startBlock to endBlock, as the data image holds
  /// it (0xFF past the data image's end); none in a manifest from before byte sums.
  std::optional<std::uint32_t> rangeByteSum;
};

/// What a completed merge wrote, as the programmer's side can check it.
struct Manifest {
  int blockMode = 0;  ///< as a job stores it: 0 to 15, 255 for none (StoredBlockMode)
  std::uint32_t blockSize = 0;
  std::uint32_t pageSize = 0;
  std::string tablePath;
  std::string dataPath;
  DigestValue table;
  DigestValue data;
  std::vector<ManifestPartition> partitions;
};

/// Why a manifest could not be made, read or verified against: a file that could
/// not be read (`file`), or a problem in words.
struct ManifestFailure {
  std::optional<FileError> file;
  std::string problem;
};

/// The manifest of a completed merge of `set` (its accepted rows in order) from the
/// digests `tap` took while the merge wrote; nothing if the hashing failed.
std::optional<Manifest> MakeManifest(const PartitionSet& set, const MergeResult& result, int blockModeSelection,
                                     const FlashGeometry& geometry, const std::string& tablePath,
                                     const std::string& dataPath, DigestTap& tap, ManifestFailure& failure);

/// The JSON form. A path that is not UTF-8 (a job saved on a Chinese Windows keeps
/// its paths in code page 936) also goes into "pathBytes", its bytes in hexadecimal,
/// which the reader takes instead: the manifest still finds its own files.
nlohmann::json ManifestJson(const Manifest& manifest);

/// Where a partition lies, as the manifest and verify's report both write it: row,
/// blocks, offset and bytes.
nlohmann::json PartitionPlaceJson(const ManifestPartition& partition);
/// A manifest read back from its JSON; nothing (and `problem` says why) if the
/// document is not one.
std::optional<Manifest> ManifestFromJson(const nlohmann::json& json, std::string* problem);
/// The two output files' SHA-256 lines in the text `sha256sum -c` reads.
std::string Sha256SumText(const Manifest& manifest);

/// A manifest file's text: JSON when its name ends in ".json", otherwise sha256sum text.
std::string ManifestText(const Manifest& manifest, const std::string& path);

/// Reads a JSON manifest file; nothing (and `failure` says why) if it cannot be read
/// or is not a manifest.
std::optional<Manifest> ReadManifest(const std::string& path, ManifestFailure& failure);

}  // namespace folvane::manifest
