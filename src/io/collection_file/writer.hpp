#pragma once
// Writing a collection file so that a crash at any moment leaves either the
// old file or the new one, whole: a temporary file beside the target, written
// and flushed, then renamed over it, then the directory flushed.
#include <cstddef>
#include <string>
#include <vector>

#include "common/result.hpp"
#include "io/collection_file/format.hpp"

namespace zorvex::collection_file {

struct Piece {
  const void* data;
  std::size_t size;
};

// A section's bytes, gathered from pieces in order.
struct SectionOut {
  Tag tag;
  std::vector<Piece> pieces;
  std::size_t size() const;
};

// On failure the target is as it was and no temporary file is left behind.
Result<Unit, FileError> write_collection(const std::string& path, const Header& header,
                                         const std::vector<SectionOut>& sections);

// The header's bytes for sections at these offsets with these lengths and
// checksums (shared with the reader's tests and the fuzz seeds).
struct SectionEntry {
  Tag tag;
  std::uint64_t offset;
  std::uint64_t size;
  std::uint64_t checksum;
};
std::size_t header_size(const Header& header, std::size_t sections);
std::vector<std::uint8_t> encode_header(const Header& header, std::uint64_t file_size,
                                        const std::vector<SectionEntry>& entries);

}  // namespace zorvex::collection_file
