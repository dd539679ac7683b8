#pragma once
// The four error families of the core. Each value formats its own message;
// those texts are what Python callers see.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "common/shared_text.hpp"

namespace zorvex {

struct CodecError {
  enum class Kind : std::uint8_t {
    InvalidBitWidth,
    InvalidDimension,
    DimensionTooLarge,
    DimensionMismatch,
    CodebookIncompatible,
    ConfigMismatch,
    CodebookEntryCount,
    CodebookNotSorted,
    CodebookDuplicateValues,
    InsufficientTrainingData,
    IndexOutOfRange,
    LengthMismatch,
    InvalidResidualFlag,
    TrainingDataNan,
  };
  explicit CodecError(Kind k) : kind(k) {}
  Kind kind;
  // Numeric fields; which ones are meaningful depends on the kind.
  std::uint64_t expected = 0;
  std::uint64_t got = 0;
  std::uint8_t bit_width = 0;
  // ConfigMismatch only.
  std::string expected_text;
  std::string got_text;

  static CodecError invalid_bit_width(std::uint8_t got);
  static CodecError invalid_dimension(std::uint32_t got);
  static CodecError dimension_too_large(std::uint32_t got, std::uint32_t max);
  static CodecError dimension_mismatch(std::uint32_t expected, std::uint32_t got);
  static CodecError codebook_incompatible(std::uint8_t expected, std::uint8_t got);
  static CodecError config_mismatch(std::string expected, std::string got);
  static CodecError codebook_entry_count(std::uint32_t expected, std::uint32_t got, std::uint8_t bit_width);
  static CodecError codebook_not_sorted();
  static CodecError codebook_duplicate_values(std::uint32_t expected, std::uint32_t got);
  static CodecError insufficient_training_data(std::uint32_t expected);
  static CodecError index_out_of_range(std::uint8_t index, std::uint32_t bound);
  static CodecError length_mismatch(std::size_t left, std::size_t right);
  static CodecError invalid_residual_flag(std::uint8_t got);
  static CodecError training_data_nan(std::size_t index, std::size_t count);

  std::string message() const;
};

struct CorpusError {
  enum class Kind : std::uint8_t { Codec, DuplicateVectorId, UnknownVectorId, DimensionMismatch };
  explicit CorpusError(Kind k) : kind(k) {}
  Kind kind;
  std::shared_ptr<const CodecError> codec;  // Kind::Codec only
  SharedText id;                            // the two id kinds
  std::uint32_t expected = 0;
  std::uint32_t got = 0;

  static CorpusError from_codec(CodecError e);
  static CorpusError duplicate_vector_id(SharedText id);
  static CorpusError unknown_vector_id(SharedText id);
  static CorpusError dimension_mismatch(std::uint32_t expected, std::uint32_t got);

  std::string message() const;
};

struct FormatError {
  enum class Kind : std::uint8_t { DataTooShort, UnknownVersion, InvalidBitWidth, InvalidUtf8, Decode };
  explicit FormatError(Kind k) : kind(k) {}
  Kind kind;
  std::uint64_t needed = 0;
  std::uint64_t got = 0;
  std::shared_ptr<const CodecError> codec;  // Kind::Decode only

  static FormatError data_too_short(std::size_t needed, std::size_t got);
  static FormatError unknown_version(std::uint8_t got);
  static FormatError invalid_bit_width(std::uint8_t got);
  static FormatError invalid_utf8();
  static FormatError decode(CodecError e);

  std::string message() const;
};

struct BackendError {
  enum class Kind : std::uint8_t { InvalidTopK, AdapterError };
  explicit BackendError(Kind k) : kind(k) {}
  Kind kind;
  std::string text;  // AdapterError only

  static BackendError invalid_top_k();
  static BackendError adapter_error(std::string text);

  std::string message() const;
};

}  // namespace zorvex
