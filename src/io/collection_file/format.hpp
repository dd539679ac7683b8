#pragma once
// The collection file: one format for a Corpus, a BruteForceBackend and a
// CompressedBackend (docs/collection_file.md has the field table).
//
// A header (magic, version, kind, counts, the configuration's canonical text
// and hash, codebook entries, corpus facts, then a table of sections, closed
// by the header's own XXH64), followed by the sections, each starting on a
// 64-byte boundary with zero bytes between them. Section bytes are laid out
// as the indexes hold them in memory, so a mapped file can be searched where
// it lies.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>

namespace zorvex::collection_file {

static_assert(std::endian::native == std::endian::little, "collection files hold little-endian arrays");

inline constexpr std::uint8_t kMagic[8] = {0x89, 'Z', 'V', 'X', 'C', 'F', '\r', '\n'};
inline constexpr std::uint32_t kVersion = 1;
inline constexpr std::size_t kAlign = 64;
inline constexpr std::size_t kFixedHeader = 48;
inline constexpr std::size_t kSectionEntry = 32;
// Headers past this are refused before anything is allocated for them.
inline constexpr std::size_t kMaxHeader = std::size_t{1} << 24;

enum class Kind : std::uint32_t { Corpus = 1, BruteForce = 2, Compressed = 3 };
const char* kind_name(Kind k);

enum class Tag : std::uint32_t {
  IdOffsets = 1,   // u64[n + 1]: identifier i is bytes [off[i], off[i+1])
  IdBytes = 2,     // UTF-8 text of every identifier, back to back
  IdOrder = 3,     // u64[n]: positions sorted by identifier bytes
  SlotEntry = 4,   // u64[n]: BruteForce, the entry each slot holds
  Vectors = 5,     // f32: BruteForce, 16-lane interleaved blocks
  SumSquares = 6,  // f32 per slot: BruteForce
  NanFlags = 7,    // u8 per slot: BruteForce
  Codes = 8,       // u8: Compressed, scan blocks
  InvNorms = 9,    // f64 per slot: Compressed
  Residuals = 10,  // u16 (binary16 bits), d per vector: Compressed, Corpus
  Indices = 11,    // u8: Corpus, each record's index bytes
  EntrySlot = 12,  // u64[n]: BruteForce, the slot each entry holds
};
const char* tag_name(Tag t);

inline std::size_t align_up(std::size_t x) { return (x + kAlign - 1) / kAlign * kAlign; }

// Failures of reading or writing a file; `os_errno` is set for the system's.
struct FileError {
  enum class Kind : std::uint8_t { Os, Corrupt, Version, WrongKind, Usage };
  Kind kind;
  std::string message;  // names the path
  int os_errno = 0;
};

}  // namespace zorvex::collection_file

#include <vector>

namespace zorvex::collection_file {

// What the header says besides the section table.
struct Header {
  std::uint32_t version = kVersion;
  Kind kind = Kind::BruteForce;
  std::uint64_t count = 0;       // vectors
  std::uint32_t dimension = 0;
  bool has_dimension = true;     // false: a BruteForceBackend that never held a vector
  std::string config_text;       // canonical text; empty for BruteForce
  std::string config_hash;
  std::uint32_t codebook_bits = 0;
  std::vector<float> codebook;
  std::string corpus_id;
  std::uint32_t policy = 0;
  std::uint32_t index_bytes = 0;  // Corpus: index bytes per record
};

}  // namespace zorvex::collection_file
