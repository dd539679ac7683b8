#pragma once
// Opening a collection file: read into memory or mapped read-only, and
// checked before anything is built from it. Every length and offset is
// checked against the file's size, so no later step can read out of bounds;
// the section checksums are compared when the file is read, or when a mapped
// open asks for it.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/result.hpp"
#include "io/collection_file/format.hpp"

namespace zorvex::collection_file {

struct Section {
  Tag tag;
  std::span<const std::uint8_t> bytes;
  std::uint64_t checksum;
};

struct OpenedFile {
  std::string path;
  // Keeps the bytes (a buffer or a mapping) alive.
  std::shared_ptr<const void> owner;
  bool mapped = false;
  Header header;
  std::vector<Section> sections;
};

// map: mmap the file read-only instead of reading it; verify: compare the
// section checksums and the zero padding (always done when not mapping).
Result<OpenedFile, FileError> open_file(const std::string& path, bool map, bool verify);

// The same checks over bytes already in memory (`path` only names them).
Result<OpenedFile, FileError> parse_file(std::shared_ptr<const void> owner, std::span<const std::uint8_t> bytes,
                                         const std::string& path, bool verify);

}  // namespace zorvex::collection_file
