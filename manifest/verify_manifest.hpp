#pragma once
// Outputs read back and compared with the digests a manifest recorded: the check the
// programmer's side can make without the images.

#include <optional>
#include <string>

#include "manifest/manifest.hpp"
#include "merge/verify.hpp"

namespace folvane::manifest {

/// Reads the table and the data image once and compares their digests, and those of
/// each partition's blocks, with `manifest`'s; the differences come in the report
/// verifying against a job gives, marked `byDigest`. No file is read past the length
/// the manifest records (its length is still told). Nothing, and `failure` says why,
/// if a file cannot be read or the hashing fails.
std::optional<VerifyReport> VerifyAgainstManifest(const Manifest& manifest, const std::string& tablePath,
                                                  const std::string& dataPath, ManifestFailure& failure);

}  // namespace folvane::manifest
