#include "common/errors.hpp"

#include <cstdio>

#include "common/quote_id.hpp"

namespace zorvex {

namespace {
std::string num(std::uint64_t v) { return std::to_string(v); }
std::string hex2(std::uint8_t v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02x", static_cast<unsigned>(v));
  return buf;
}
CodecError codec(CodecError::Kind k, std::uint64_t expected = 0, std::uint64_t got = 0, std::uint8_t bw = 0) {
  CodecError e{k};
  e.expected = expected;
  e.got = got;
  e.bit_width = bw;
  return e;
}
}  // namespace

using CK = CodecError::Kind;

CodecError CodecError::invalid_bit_width(std::uint8_t got) { return codec(CK::InvalidBitWidth, 0, got); }
CodecError CodecError::invalid_dimension(std::uint32_t got) { return codec(CK::InvalidDimension, 0, got); }
CodecError CodecError::dimension_too_large(std::uint32_t got, std::uint32_t max) {
  return codec(CK::DimensionTooLarge, max, got);
}
CodecError CodecError::dimension_mismatch(std::uint32_t expected, std::uint32_t got) {
  return codec(CK::DimensionMismatch, expected, got);
}
CodecError CodecError::codebook_incompatible(std::uint8_t expected, std::uint8_t got) {
  return codec(CK::CodebookIncompatible, expected, got);
}
CodecError CodecError::config_mismatch(std::string expected, std::string got) {
  CodecError e{CK::ConfigMismatch};
  e.expected_text = std::move(expected);
  e.got_text = std::move(got);
  return e;
}
CodecError CodecError::codebook_entry_count(std::uint32_t expected, std::uint32_t got, std::uint8_t bit_width) {
  return codec(CK::CodebookEntryCount, expected, got, bit_width);
}
CodecError CodecError::codebook_not_sorted() { return codec(CK::CodebookNotSorted); }
CodecError CodecError::codebook_duplicate_values(std::uint32_t expected, std::uint32_t got) {
  return codec(CK::CodebookDuplicateValues, expected, got);
}
CodecError CodecError::insufficient_training_data(std::uint32_t expected) {
  return codec(CK::InsufficientTrainingData, expected);
}
CodecError CodecError::index_out_of_range(std::uint8_t index, std::uint32_t bound) {
  return codec(CK::IndexOutOfRange, bound, index);
}
CodecError CodecError::length_mismatch(std::size_t left, std::size_t right) {
  return codec(CK::LengthMismatch, right, left);
}
CodecError CodecError::invalid_residual_flag(std::uint8_t got) { return codec(CK::InvalidResidualFlag, 0, got); }
CodecError CodecError::training_data_nan(std::size_t index, std::size_t count) {
  return codec(CK::TrainingDataNan, count, index);
}

std::string CodecError::message() const {
  switch (kind) {
    case CK::InvalidBitWidth:
      return "bit_width must be one of [2, 4, 8], got " + num(got);
    case CK::InvalidDimension:
      return "dimension must be > 0, got " + num(got);
    case CK::DimensionTooLarge:
      return "dimension must be <= " + num(expected) + ", got " + num(got);
    case CK::DimensionMismatch:
      return "vector length " + num(got) + " does not match config dimension " + num(expected);
    case CK::CodebookIncompatible:
      return "codebook bit_width " + num(got) + " does not match config bit_width " + num(expected);
    case CK::ConfigMismatch:
      return "compressed config_hash " + quote_id(got_text) + " does not match config hash " +
             quote_id(expected_text);
    case CK::CodebookEntryCount:
      return "codebook must have " + num(expected) + " entries for bit_width=" + num(bit_width) + ", got " +
             num(got);
    case CK::CodebookNotSorted:
      return "codebook entries must be sorted ascending";
    case CK::CodebookDuplicateValues:
      return "codebook must contain " + num(expected) + " distinct values, got " + num(got);
    case CK::InsufficientTrainingData:
      return "insufficient training data for " + num(expected) + " distinct entries";
    case CK::IndexOutOfRange:
      return "index " + num(got) + " is out of range [0, " + num(expected) + ")";
    case CK::LengthMismatch:
      return "input and output lengths disagree: " + num(got) + " vs " + num(expected);
    case CK::InvalidResidualFlag:
      return "invalid residual flag: expected 0x00 or 0x01, got " + hex2(static_cast<std::uint8_t>(got));
    case CK::TrainingDataNan:
      return "training data must not contain NaN: value " + num(got) + " of " + num(expected) +
             " (row-major) is NaN";
  }
  return {};
}

using RK = CorpusError::Kind;

CorpusError CorpusError::from_codec(CodecError e) {
  CorpusError r{RK::Codec};
  r.codec = std::make_shared<const CodecError>(std::move(e));
  return r;
}
CorpusError CorpusError::duplicate_vector_id(SharedText id) {
  CorpusError r{RK::DuplicateVectorId};
  r.id = std::move(id);
  return r;
}
CorpusError CorpusError::unknown_vector_id(SharedText id) {
  CorpusError r{RK::UnknownVectorId};
  r.id = std::move(id);
  return r;
}
CorpusError CorpusError::dimension_mismatch(std::uint32_t expected, std::uint32_t got) {
  CorpusError r{RK::DimensionMismatch};
  r.expected = expected;
  r.got = got;
  return r;
}

std::string CorpusError::message() const {
  switch (kind) {
    case RK::Codec:
      return "codec error: " + codec->message();
    case RK::DuplicateVectorId:
      return "duplicate vector_id " + quote_id(*id);
    case RK::UnknownVectorId:
      return "unknown vector_id " + quote_id(*id);
    case RK::DimensionMismatch:
      return "dimension mismatch: expected " + num(expected) + ", got " + num(got);
  }
  return {};
}

using FK = FormatError::Kind;

FormatError FormatError::data_too_short(std::size_t needed, std::size_t got) {
  FormatError r{FK::DataTooShort};
  r.needed = needed;
  r.got = got;
  return r;
}
FormatError FormatError::unknown_version(std::uint8_t got) {
  FormatError r{FK::UnknownVersion};
  r.got = got;
  return r;
}
FormatError FormatError::invalid_bit_width(std::uint8_t got) {
  FormatError r{FK::InvalidBitWidth};
  r.got = got;
  return r;
}
FormatError FormatError::invalid_utf8() { return FormatError{FK::InvalidUtf8}; }
FormatError FormatError::decode(CodecError e) {
  FormatError r{FK::Decode};
  r.codec = std::make_shared<const CodecError>(std::move(e));
  return r;
}

std::string FormatError::message() const {
  switch (kind) {
    case FK::DataTooShort:
      return "data too short: needed " + num(needed) + " bytes, got " + num(got);
    case FK::UnknownVersion:
      return "unknown format version " + hex2(static_cast<std::uint8_t>(got));
    case FK::InvalidBitWidth:
      return "invalid bit_width " + num(got) + " in serialized data";
    case FK::InvalidUtf8:
      return "invalid UTF-8 in config hash";
    case FK::Decode:
      return "decode error: " + codec->message();
  }
  return {};
}

BackendError BackendError::invalid_top_k() { return BackendError{Kind::InvalidTopK}; }
BackendError BackendError::adapter_error(std::string text) {
  BackendError r{Kind::AdapterError};
  r.text = std::move(text);
  return r;
}
std::string BackendError::message() const {
  switch (kind) {
    case Kind::InvalidTopK:
      return "top_k must be > 0";
    case Kind::AdapterError:
      return "adapter error: " + text;
  }
  return {};
}

}  // namespace zorvex
