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
  // Its checksum was compared at the open.
  bool verified = false;
};

struct OpenedFile {
  std::string path;
  // Keeps the bytes (a buffer or a mapping) alive.
  std::shared_ptr<const void> owner;
  bool mapped = false;
  Header header;
  std::vector<Section> sections;
};

// How much of a file an open checks beyond its header and bounds.
enum class Checks : std::uint8_t {
  Bounds,    // nothing more (a mapped open)
  All,       // the zero padding and every section's checksum
  Padding,   // the padding; each section's checksum is left to its reader,
             // which compares it while copying the section out (one pass)
};

// map: mmap the file read-only instead of reading it (Checks::Bounds, or
// Checks::All with `verify`); a file that is not mapped is opened with
// Checks::Padding.
Result<OpenedFile, FileError> open_file(const std::string& path, bool map, bool verify);

// The same checks over bytes already in memory (`path` only names them).
Result<OpenedFile, FileError> parse_file(std::shared_ptr<const void> owner, std::span<const std::uint8_t> bytes,
                                         const std::string& path, Checks checks);

// The error a section whose bytes do not match its checksum gets.
FileError checksum_mismatch(const std::string& path, Tag tag);

// Copies the section's bytes to `dst` (size() of them), comparing its
// checksum as it goes when the open left that to the reader.
Result<Unit, FileError> copy_section(const OpenedFile& f, const Section& s, void* dst);
// Compares the checksum of a section the open left unverified.
Result<Unit, FileError> check_section(const OpenedFile& f, const Section& s);

}  // namespace zorvex::collection_file
