#pragma once
// Saving and loading the three kinds of collection.
//
// A Corpus file keeps the corpus's identity, configuration, codebook, policy
// and every stored vector (identifiers in insertion order, records as
// stored), but not its pending events: a loaded corpus has exactly the
// events of a new one (one CorpusCreated). A backend file keeps the arrays
// the index searches, so a loaded backend gives the same results bit for bit.
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "backend/brute_force.hpp"
#include "backend/code_index.hpp"
#include "common/result.hpp"
#include "core/codec/codebook.hpp"
#include "core/codec/compressed_vector.hpp"
#include "core/codec/config.hpp"
#include "core/corpus/corpus.hpp"
#include "io/collection_file/format.hpp"

namespace zorvex::collection_file {

// What a corpus file holds, taken under the corpus's lock.
struct CorpusImage {
  SharedText corpus_id;
  CodecConfig config;
  Codebook codebook;
  CompressionPolicy policy;
  std::vector<std::pair<SharedText, CompressedVector>> records;  // insertion order
};
CorpusImage image_of(const CorpusState& state);

Result<Unit, FileError> save_corpus(const CorpusImage& image, const std::string& path);
Result<Unit, FileError> save_brute_force(const BruteForceIndex& index, const std::string& path);
Result<Unit, FileError> save_compressed(const CompressedIndex& index, const std::string& path);

struct LoadedCorpus {
  std::shared_ptr<Corpus> corpus;
  CodecConfig config;
  Codebook codebook;
  CompressionPolicy policy;
};

struct Loaded {
  Kind kind;
  std::optional<LoadedCorpus> corpus;
  std::optional<BruteForceIndex> brute_force;
  std::optional<CompressedIndex> compressed;
};

// `map`: read the backends' arrays where the file lies (a Corpus is always
// read); `verify`: compare checksums of a mapped file too.
Result<Loaded, FileError> load(const std::string& path, bool map, bool verify,
                               std::optional<Kind> expected = std::nullopt);

// The same checks and construction over bytes in memory (the fuzz target).
Result<Loaded, FileError> load_bytes(std::span<const std::uint8_t> bytes, const std::string& name);

}  // namespace zorvex::collection_file
