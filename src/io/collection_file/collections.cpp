#include "io/collection_file/collections.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <numeric>

#include "io/collection_file/reader.hpp"
#include "io/collection_file/writer.hpp"
#include "io/compressed_vector/unpack.hpp"

namespace zorvex::collection_file {
namespace {

// ---- identifiers ------------------------------------------------------------------

struct IdTable {
  std::vector<std::uint64_t> offsets;
  std::string bytes;
  std::vector<std::uint64_t> order;
};

// One pass over the identifiers (often strings all over the heap); the
// order is then worked out on the table's own contiguous bytes.
template <class IdAt>
IdTable id_table(std::size_t n, IdAt&& id_at) {
  IdTable t;
  t.offsets.reserve(n + 1);
  t.offsets.push_back(0);
  for (std::size_t i = 0; i < n; ++i) {
    t.bytes += id_at(i);
    t.offsets.push_back(t.bytes.size());
  }
  const auto view = [&](std::uint64_t i) {
    return std::string_view(t.bytes.data() + t.offsets[i], t.offsets[i + 1] - t.offsets[i]);
  };
  t.order.resize(n);
  std::iota(t.order.begin(), t.order.end(), 0);
  const auto by_id = [&](std::uint64_t a, std::uint64_t b) { return view(a) < view(b); };
  // Identifiers are often inserted in order already; checking costs n compares.
  if (!std::is_sorted(t.order.begin(), t.order.end(), by_id)) std::sort(t.order.begin(), t.order.end(), by_id);
  return t;
}

template <class T>
Piece piece(const std::vector<T>& v) {
  return {v.data(), v.size() * sizeof(T)};
}
Piece piece(const std::string& s) { return {s.data(), s.size()}; }

void add_ids(std::vector<SectionOut>& out, const IdTable& t) {
  out.push_back({Tag::IdOffsets, {piece(t.offsets)}});
  out.push_back({Tag::IdBytes, {piece(t.bytes)}});
  out.push_back({Tag::IdOrder, {piece(t.order)}});
}

void put_config(Header& h, const CodecConfig& config, const Codebook& codebook) {
  h.config_text = config.canonical_text();
  h.config_hash = *config.config_hash();
  h.dimension = config.dimension();
  h.codebook_bits = codebook.bit_width();
  h.codebook.assign(codebook.entries().begin(), codebook.entries().end());
}

// ---- reading ------------------------------------------------------------------------

FileError corrupt(const OpenedFile& f, const std::string& what) {
  return {FileError::Kind::Corrupt, "'" + f.path + "' is not a valid collection file: " + what};
}

// The file's sections in the order the kind expects, each of the expected
// length. Sections the open left unverified are verified as they are taken:
// by bytes() in place, or by copy() while copying them out.
class Sections {
 public:
  // verify: compare the checksums the open left to the reader (every file
  // read into memory, and a Corpus even when mapped: it is always read).
  explicit Sections(const OpenedFile& f, bool verify) : f_(f), verify_(verify) {}
  // The next section, which must carry `tag` and `size` bytes.
  Result<const Section*, FileError> next(Tag tag, std::uint64_t size) {
    if (at_ >= f_.sections.size()) return err(corrupt(f_, std::string("missing section ") + tag_name(tag)));
    const Section& s = f_.sections[at_++];
    if (s.tag != tag) {
      return err(corrupt(f_, "section " + std::to_string(at_ - 1) + " is tagged " +
                                 std::to_string(static_cast<std::uint32_t>(s.tag)) + "; expected " + tag_name(tag)));
    }
    if (s.bytes.size() != size) {
      return err(corrupt(f_, std::string("section ") + tag_name(tag) + " has " + std::to_string(s.bytes.size()) +
                                 " bytes; expected " + std::to_string(size)));
    }
    return &s;
  }
  // The next section's bytes where they lie.
  Result<std::span<const std::uint8_t>, FileError> bytes(Tag tag, std::uint64_t size) {
    auto s = next(tag, size);
    if (!s) return err(std::move(s).error());
    if (verify_) {
      if (auto checked = check_section(f_, **s); !checked) return err(std::move(checked).error());
    }
    return (*s)->bytes;
  }
  // The next section copied into a vector (of `count` elements), its
  // checksum compared on the way unless the open did.
  template <class V>
  Result<V, FileError> copy(Tag tag, std::uint64_t count) {
    auto s = next(tag, count * sizeof(typename V::value_type));
    if (!s) return err(std::move(s).error());
    V out(static_cast<std::size_t>(count));
    if (auto copied = copy_section(f_, **s, out.data()); !copied) return err(std::move(copied).error());
    return out;
  }
  Result<Unit, FileError> done() const {
    if (at_ != f_.sections.size()) return err(corrupt(f_, "unexpected extra sections"));
    return Unit{};
  }

 private:
  const OpenedFile& f_;
  bool verify_;
  std::size_t at_ = 0;
};

template <class T>
const T* as(std::span<const std::uint8_t> s) {
  return reinterpret_cast<const T*>(s.data());
}

// n * size without overflow, or nullopt.
std::optional<std::uint64_t> times(std::uint64_t n, std::uint64_t size) {
  if (size != 0 && n > UINT64_MAX / size) return std::nullopt;
  return n * size;
}

// The identifier tables, checked: offsets in range and ascending, each
// identifier UTF-8, and the id order a permutation sorting them strictly (so
// they are distinct).
Result<Unit, FileError> check_ids(const OpenedFile& f, const detail::IdColumn& c) {
  const std::size_t n = c.n;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(c.bytes);
  if (c.offsets[0] != 0) return err(corrupt(f, "id offsets do not start at 0"));
  // Text that is valid as a whole, cut only where characters start, is
  // valid in every piece; checking it whole costs one call, not n.
  bool boundaries = true;
  for (std::size_t i = 0; i < n; ++i) {
    if (c.offsets[i + 1] < c.offsets[i] || c.offsets[i + 1] > c.total) return err(corrupt(f, "id offsets out of order"));
    if (c.offsets[i] < c.total && (bytes[c.offsets[i]] & 0xC0) == 0x80) boundaries = false;
  }
  if (!boundaries || !valid_utf8(bytes, static_cast<std::size_t>(c.total))) {
    for (std::size_t i = 0; i < n; ++i) {
      const std::string_view id = c.at(i);
      if (!valid_utf8(reinterpret_cast<const std::uint8_t*>(id.data()), id.size()))
        return err(corrupt(f, "id " + std::to_string(i) + " is not valid UTF-8"));
    }
  }
  std::vector<std::uint8_t> seen(n, 0);
  for (std::size_t i = 0; i < n; ++i) {
    if (c.order[i] >= n || seen[c.order[i]]) return err(corrupt(f, "id order is not a permutation"));
    seen[c.order[i]] = 1;
    if (i > 0 && !(c.at(c.order[i - 1]) < c.at(c.order[i]))) return err(corrupt(f, "ids are not distinct or not in order"));
  }
  return Unit{};
}

// The identifier tables: where they lie (a mapped file), or copied out with
// the copy as their owner; checked unless `checked` is false (a mapped open
// without verify, which only bounds every read).
struct Ids {
  detail::IdColumn column;
  std::shared_ptr<const void> owner;
};
struct OwnedIdTables {
  LargeVector<std::uint64_t> offsets;
  LargeVector<char> bytes;
  LargeVector<std::uint64_t> order;
};
Result<Ids, FileError> read_ids(const OpenedFile& f, Sections& sections, std::uint64_t n, bool checked) {
  if (n > (std::uint64_t{1} << 40)) return err(corrupt(f, "vector count out of range"));
  Ids out;
  if (f.mapped) {
    auto offsets = sections.bytes(Tag::IdOffsets, (n + 1) * 8);
    if (!offsets) return err(std::move(offsets).error());
    const std::uint64_t total = as<std::uint64_t>(*offsets)[n];
    auto bytes = sections.bytes(Tag::IdBytes, total);
    if (!bytes) return err(std::move(bytes).error());
    auto order = sections.bytes(Tag::IdOrder, n * 8);
    if (!order) return err(std::move(order).error());
    out.column = {as<std::uint64_t>(*offsets), reinterpret_cast<const char*>(bytes->data()),
                  as<std::uint64_t>(*order), static_cast<std::size_t>(n), total};
    out.owner = f.owner;
  } else {
    auto tables = std::make_shared<OwnedIdTables>();
    auto offsets = sections.copy<LargeVector<std::uint64_t>>(Tag::IdOffsets, n + 1);
    if (!offsets) return err(std::move(offsets).error());
    tables->offsets = std::move(offsets).value();
    const std::uint64_t total = tables->offsets[n];
    auto bytes = sections.copy<LargeVector<char>>(Tag::IdBytes, total);
    if (!bytes) return err(std::move(bytes).error());
    tables->bytes = std::move(bytes).value();
    auto order = sections.copy<LargeVector<std::uint64_t>>(Tag::IdOrder, n);
    if (!order) return err(std::move(order).error());
    tables->order = std::move(order).value();
    out.column = {tables->offsets.data(), tables->bytes.data(), tables->order.data(), static_cast<std::size_t>(n),
                  total};
    out.owner = std::move(tables);
  }
  if (checked) {
    if (auto ok = check_ids(f, out.column); !ok) return err(std::move(ok).error());
  }
  return out;
}

Result<std::pair<CodecConfig, Codebook>, FileError> read_config(const OpenedFile& f) {
  const Header& h = f.header;
  unsigned bits = 0, dimension = 0;
  unsigned long long seed = 0;
  char flag[8] = {};
  int used = 0;
  const int got = std::sscanf(h.config_text.c_str(), "CodecConfig(bit_width=%u,seed=%llu,dimension=%u,residual_enabled=%5[a-zA-Z])%n",
                              &bits, &seed, &dimension, flag, &used);
  const bool residual = std::strcmp(flag, "True") == 0;
  if (got != 4 || bits > 255 || h.config_text.find('\0') != std::string::npos)
    return err(corrupt(f, "unreadable configuration text"));
  auto config = CodecConfig::make(static_cast<std::uint8_t>(bits), seed, dimension, residual);
  if (!config || config->canonical_text() != h.config_text)
    return err(corrupt(f, "invalid configuration " + h.config_text));
  if (*config->config_hash() != h.config_hash)
    return err(corrupt(f, "configuration hash " + h.config_hash + " does not match " + h.config_text));
  if (h.dimension != config->dimension()) return err(corrupt(f, "dimension does not match the configuration"));
  if (h.codebook_bits > 255) return err(corrupt(f, "invalid codebook bit width"));
  auto codebook = Codebook::make(h.codebook, static_cast<std::uint8_t>(h.codebook_bits));
  if (!codebook) return err(corrupt(f, "invalid codebook: " + codebook.error().message()));
  return std::pair{std::move(config).value(), std::move(codebook).value()};
}

FileError wrong_kind(const OpenedFile& f, Kind want) {
  return {FileError::Kind::WrongKind, std::string("'") + f.path + "' holds a " + kind_name(f.header.kind) +
                                          ", not a " + kind_name(want)};
}

std::size_t index_bytes_for(CompressionPolicy p, std::size_t d) {
  switch (p) {
    case CompressionPolicy::Compress:
      return d;
    case CompressionPolicy::Passthrough:
      return 4 * d;
    case CompressionPolicy::Fp16:
      return 2 * d;
  }
  return 0;
}

Result<LoadedCorpus, FileError> read_corpus(const OpenedFile& f) {
  const Header& h = f.header;
  auto cfg = read_config(f);
  if (!cfg) return err(std::move(cfg).error());
  auto& [config, codebook] = *cfg;
  const auto policy = policy_from_ordinal(h.policy);
  if (!policy) return err(corrupt(f, "unknown compression policy " + std::to_string(h.policy)));
  const std::size_t d = config.dimension();
  if (h.index_bytes != index_bytes_for(*policy, d)) return err(corrupt(f, "record length does not match the policy"));
  if (!valid_utf8(reinterpret_cast<const std::uint8_t*>(h.corpus_id.data()), h.corpus_id.size()))
    return err(corrupt(f, "corpus id is not valid UTF-8"));
  Sections sections(f, true);
  auto ids = read_ids(f, sections, h.count, true);
  if (!ids) return err(std::move(ids).error());
  const bool compress = *policy == CompressionPolicy::Compress;
  const bool residual = compress && config.residual_enabled();
  auto indices = sections.bytes(Tag::Indices, times(h.count, h.index_bytes).value_or(UINT64_MAX));
  if (!indices) return err(std::move(indices).error());
  auto residuals = sections.bytes(Tag::Residuals, residual ? times(h.count, 2 * d).value_or(UINT64_MAX) : 0);
  if (!residuals) return err(std::move(residuals).error());
  if (auto done = sections.done(); !done) return err(std::move(done).error());
  if (compress) {
    const std::uint32_t entries = config.num_codebook_entries();
    for (std::uint8_t c : *indices)
      if (c >= entries) return err(corrupt(f, "record code " + std::to_string(c) + " out of range"));
  }
  auto corpus = std::make_shared<Corpus>(make_text(h.corpus_id), config, codebook, *policy);
  auto stored = corpus->with_state([&](CorpusState& state) {
    for (std::uint64_t i = 0; i < h.count; ++i) {
      EncodedRecord record{SharedBytes::copy_of(indices->subspan(i * h.index_bytes, h.index_bytes)),
                           residual ? SharedBytes::copy_of(residuals->subspan(i * 2 * d, 2 * d)) : SharedBytes(),
                           compress ? config.bit_width() : std::uint8_t{8}};
      if (!state.restore(ids->column.at(static_cast<std::size_t>(i)), record)) return false;
    }
    return true;
  });
  if (!stored || !*stored) return err(corrupt(f, "ids are not distinct"));
  return LoadedCorpus{std::move(corpus), config, codebook, *policy};
}

Result<BruteForceIndex, FileError> read_brute_force(const OpenedFile& f, bool checked) {
  const Header& h = f.header;
  if (!h.config_text.empty() || !h.codebook.empty()) return err(corrupt(f, "a BruteForceBackend has no configuration"));
  if (!h.has_dimension && h.count != 0) return err(corrupt(f, "vectors without a dimension"));
  const std::uint64_t n = h.count, d = h.dimension, blocks = (n + 15) / 16;
  const auto dimension = h.has_dimension ? std::optional<std::size_t>(d) : std::nullopt;
  Sections sections(f, !f.mapped);
  auto ids = read_ids(f, sections, n, checked);
  if (!ids) return err(std::move(ids).error());
  auto vector_bytes = times(blocks * 16 * 4, d);
  if (!vector_bytes) return err(corrupt(f, "vector count out of range"));
  // The slot tables must be inverse permutations.
  const auto check_slots = [&](const std::uint64_t* slots, const std::uint64_t* entries) -> Result<Unit, FileError> {
    if (checked) {
      for (std::uint64_t s = 0; s < n; ++s)
        if (entries[s] >= n || slots[entries[s]] != s) return err(corrupt(f, "slot and entry tables disagree"));
    }
    return Unit{};
  };
  if (f.mapped) {
    auto entry_slot = sections.bytes(Tag::EntrySlot, n * 8);
    if (!entry_slot) return err(std::move(entry_slot).error());
    auto slot_entry = sections.bytes(Tag::SlotEntry, n * 8);
    if (!slot_entry) return err(std::move(slot_entry).error());
    auto vectors = sections.bytes(Tag::Vectors, *vector_bytes);
    if (!vectors) return err(std::move(vectors).error());
    auto vv = sections.bytes(Tag::SumSquares, blocks * 16 * 4);
    if (!vv) return err(std::move(vv).error());
    auto nan = sections.bytes(Tag::NanFlags, blocks * 16);
    if (!nan) return err(std::move(nan).error());
    if (auto done = sections.done(); !done) return err(std::move(done).error());
    const auto* slots = as<std::uint64_t>(*entry_slot);
    const auto* entries = as<std::uint64_t>(*slot_entry);
    if (auto ok = check_slots(slots, entries); !ok) return err(std::move(ok).error());
    return BruteForceIndex::from_mapping(f.owner, dimension, ids->column, slots, entries, as<float>(*vectors),
                                         as<float>(*vv), nan->data());
  }
  auto entry_slot = sections.copy<std::vector<std::uint64_t>>(Tag::EntrySlot, n);
  if (!entry_slot) return err(std::move(entry_slot).error());
  auto slot_entry = sections.copy<std::vector<std::uint64_t>>(Tag::SlotEntry, n);
  if (!slot_entry) return err(std::move(slot_entry).error());
  // The vectors go straight into the one allocation the index keeps.
  auto vectors_section = sections.next(Tag::Vectors, *vector_bytes);
  if (!vectors_section) return err(std::move(vectors_section).error());
  auto vectors = BruteForceIndex::allocate_vectors(static_cast<std::size_t>(*vector_bytes / 4));
  if (auto copied = copy_section(f, **vectors_section, vectors.get()); !copied) return err(std::move(copied).error());
  auto vv = sections.copy<std::vector<float>>(Tag::SumSquares, blocks * 16);
  if (!vv) return err(std::move(vv).error());
  auto nan = sections.copy<std::vector<std::uint8_t>>(Tag::NanFlags, blocks * 16);
  if (!nan) return err(std::move(nan).error());
  if (auto done = sections.done(); !done) return err(std::move(done).error());
  if (auto ok = check_slots(entry_slot->data(), slot_entry->data()); !ok) return err(std::move(ok).error());
  if (!h.has_dimension) return BruteForceIndex{};
  return BruteForceIndex::from_copies(d, std::move(ids->owner), ids->column, std::move(entry_slot).value(),
                                      std::move(slot_entry).value(), std::move(vectors), std::move(vv).value(),
                                      std::move(nan).value());
}

Result<CompressedIndex, FileError> read_compressed(const OpenedFile& f, bool checked) {
  const Header& h = f.header;
  auto cfg = read_config(f);
  if (!cfg) return err(std::move(cfg).error());
  auto index = CompressedIndex::make(cfg->first, cfg->second);
  if (!index) return err(corrupt(f, index.error().message));
  const std::uint64_t n = h.count, d = h.dimension;
  Sections sections(f, !f.mapped);
  auto ids = read_ids(f, sections, n, checked);
  if (!ids) return err(std::move(ids).error());
  const std::uint64_t blocks = index->blocks_for(n);
  const std::uint64_t code_bytes = times(blocks, index->block_bytes()).value_or(UINT64_MAX);
  const std::uint64_t norms = blocks * index->block_vectors();
  const std::uint64_t residual_values = index->has_residuals() ? times(n, d).value_or(UINT64_MAX / 2) : 0;
  if (f.mapped) {
    auto codes = sections.bytes(Tag::Codes, code_bytes);
    if (!codes) return err(std::move(codes).error());
    auto inv = sections.bytes(Tag::InvNorms, norms * 8);
    if (!inv) return err(std::move(inv).error());
    auto residuals = sections.bytes(Tag::Residuals, residual_values * 2);
    if (!residuals) return err(std::move(residuals).error());
    if (auto done = sections.done(); !done) return err(std::move(done).error());
    index->map_arrays(f.owner, ids->column, codes->data(), as<double>(*inv), as<std::uint16_t>(*residuals));
    return std::move(index).value();
  }
  auto codes = sections.copy<LargeVector<std::uint8_t>>(Tag::Codes, code_bytes);
  if (!codes) return err(std::move(codes).error());
  auto inv = sections.copy<LargeVector<double>>(Tag::InvNorms, norms);
  if (!inv) return err(std::move(inv).error());
  auto residuals = sections.copy<LargeVector<std::uint16_t>>(Tag::Residuals, residual_values);
  if (!residuals) return err(std::move(residuals).error());
  if (auto done = sections.done(); !done) return err(std::move(done).error());
  index->adopt_arrays(std::move(ids->owner), ids->column, std::move(codes).value(), std::move(inv).value(),
                      std::move(residuals).value());
  return std::move(index).value();
}

// checked: every table's contents were checked (the file was read, or a
// mapped open asked to verify), not only its bounds.
Result<Loaded, FileError> build(const OpenedFile& f, bool checked) {
  Loaded out{f.header.kind, {}, {}, {}};
  switch (f.header.kind) {
    case Kind::Corpus: {
      auto c = read_corpus(f);
      if (!c) return err(std::move(c).error());
      out.corpus = std::move(c).value();
      break;
    }
    case Kind::BruteForce: {
      auto b = read_brute_force(f, checked);
      if (!b) return err(std::move(b).error());
      out.brute_force = std::move(b).value();
      break;
    }
    case Kind::Compressed: {
      auto c = read_compressed(f, checked);
      if (!c) return err(std::move(c).error());
      out.compressed = std::move(c).value();
      break;
    }
  }
  return out;
}

}  // namespace

CorpusImage image_of(const CorpusState& state) {
  return {state.corpus_id(), state.codec_config(), state.codebook(), state.compression_policy(), state.records()};
}

Result<Unit, FileError> save_corpus(const CorpusImage& image, const std::string& path) {
  Header h;
  h.kind = Kind::Corpus;
  h.count = image.records.size();
  put_config(h, image.config, image.codebook);
  h.corpus_id = *image.corpus_id;
  h.policy = ordinal(image.policy);
  h.index_bytes = static_cast<std::uint32_t>(index_bytes_for(image.policy, image.config.dimension()));
  const IdTable ids = id_table(image.records.size(), [&](std::size_t i) { return std::string_view(*image.records[i].first); });
  std::vector<SectionOut> sections;
  add_ids(sections, ids);
  SectionOut indices{Tag::Indices, {}}, residuals{Tag::Residuals, {}};
  for (const auto& [id, record] : image.records) {
    if (record.indices().size() != h.index_bytes) panic("a stored record has an unexpected length");
    indices.pieces.push_back({record.indices().data(), record.indices().size()});
    if (record.has_residual()) residuals.pieces.push_back({record.residual().data(), record.residual().size()});
  }
  sections.push_back(std::move(indices));
  sections.push_back(std::move(residuals));
  return write_collection(path, h, sections);
}

Result<Unit, FileError> save_brute_force(const BruteForceIndex& index, const std::string& path) {
  Header h;
  h.kind = Kind::BruteForce;
  h.count = index.count();
  h.has_dimension = index.dimension().has_value();
  h.dimension = static_cast<std::uint32_t>(index.dimension().value_or(0));
  const IdTable ids = id_table(index.count(), [&](std::size_t i) { return index.id_at(i); });
  std::vector<SectionOut> sections;
  add_ids(sections, ids);
  static_assert(sizeof(std::size_t) == 8);
  std::vector<std::uint64_t> entry_slot(index.count());
  for (std::size_t p = 0; p < entry_slot.size(); ++p) entry_slot[p] = index.entry_slot(p);
  sections.push_back({Tag::EntrySlot, {piece(entry_slot)}});
  sections.push_back({Tag::SlotEntry, {{index.slot_entries().data(), index.count() * 8}}});
  SectionOut vectors{Tag::Vectors, {}};
  for (const float* block : index.blocks()) vectors.pieces.push_back({block, h.dimension * 16 * sizeof(float)});
  sections.push_back(std::move(vectors));
  sections.push_back({Tag::SumSquares, {{index.sums_of_squares().data(), index.sums_of_squares().size_bytes()}}});
  sections.push_back({Tag::NanFlags, {{index.nan_flags().data(), index.nan_flags().size()}}});
  return write_collection(path, h, sections);
}

Result<Unit, FileError> save_compressed(const CompressedIndex& index, const std::string& path) {
  Header h;
  h.kind = Kind::Compressed;
  h.count = index.count();
  put_config(h, index.config(), index.codebook());
  const IdTable ids = id_table(index.count(), [&](std::size_t i) { return index.slot_id(i); });
  std::vector<SectionOut> sections;
  add_ids(sections, ids);
  sections.push_back({Tag::Codes, {{index.code_blocks().data(), index.code_blocks().size()}}});
  sections.push_back({Tag::InvNorms, {{index.inverse_norms().data(), index.inverse_norms().size_bytes()}}});
  sections.push_back({Tag::Residuals, {{index.residual_values().data(), index.residual_values().size_bytes()}}});
  return write_collection(path, h, sections);
}

Result<Loaded, FileError> load(const std::string& path, bool map, bool verify, std::optional<Kind> expected) {
  auto f = open_file(path, map, verify);
  if (!f) return err(std::move(f).error());
  if (expected && f->header.kind != *expected) return err(wrong_kind(*f, *expected));
  return build(*f, !f->mapped || verify);
}

Result<Loaded, FileError> load_bytes(std::span<const std::uint8_t> bytes, const std::string& name) {
  auto f = parse_file(nullptr, bytes, name, Checks::Padding);
  if (!f) return err(std::move(f).error());
  return build(*f, true);
}

}  // namespace zorvex::collection_file
