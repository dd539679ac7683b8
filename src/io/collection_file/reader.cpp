#include "io/collection_file/reader.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "common/xxh64.hpp"

namespace zorvex::collection_file {
namespace {

FileError corrupt(const std::string& path, const std::string& what) {
  return {FileError::Kind::Corrupt, "'" + path + "' is not a valid collection file: " + what};
}

FileError os_error(const std::string& path, int e) {
  return {FileError::Kind::Os, "cannot open '" + path + "': " + std::strerror(e), e};
}

// Bounds-checked little-endian reads over the header.
class Cursor {
 public:
  Cursor(std::span<const std::uint8_t> bytes, std::size_t at) : bytes_(bytes), at_(at) {}
  bool u32(std::uint32_t& v) {
    if (at_ > bytes_.size() || bytes_.size() - at_ < 4) return false;
    v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | bytes_[at_ + static_cast<std::size_t>(i)];
    at_ += 4;
    return true;
  }
  bool u64(std::uint64_t& v) {
    std::uint32_t lo, hi;
    if (!u32(lo) || !u32(hi)) return false;
    v = std::uint64_t{hi} << 32 | lo;
    return true;
  }
  bool text(std::string& s) {
    std::uint32_t n;
    if (!u32(n) || bytes_.size() - at_ < n) return false;
    s.assign(reinterpret_cast<const char*>(bytes_.data() + at_), n);
    at_ += n;
    return true;
  }
  std::size_t at() const { return at_; }
  void seek(std::size_t at) { at_ = at; }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t at_;
};

struct Mapping {
  Mapping(void* b, std::size_t n) : base(b), size(n) {}
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  void* base;
  std::size_t size;
  ~Mapping() {
    if (base) ::munmap(base, size);
  }
};


}  // namespace

const char* kind_name(Kind k) {
  switch (k) {
    case Kind::Corpus:
      return "Corpus";
    case Kind::BruteForce:
      return "BruteForceBackend";
    case Kind::Compressed:
      return "CompressedBackend";
  }
  return "unknown";
}

const char* tag_name(Tag t) {
  switch (t) {
    case Tag::IdOffsets:
      return "id offsets";
    case Tag::IdBytes:
      return "id bytes";
    case Tag::IdOrder:
      return "id order";
    case Tag::SlotEntry:
      return "slot entries";
    case Tag::Vectors:
      return "vectors";
    case Tag::SumSquares:
      return "sums of squares";
    case Tag::NanFlags:
      return "NaN flags";
    case Tag::Codes:
      return "codes";
    case Tag::InvNorms:
      return "inverse norms";
    case Tag::Residuals:
      return "residuals";
    case Tag::Indices:
      return "record indices";
    case Tag::EntrySlot:
      return "entry slots";
  }
  return "unknown";
}

FileError checksum_mismatch(const std::string& path, Tag tag) {
  return corrupt(path, std::string("checksum mismatch in section ") + tag_name(tag));
}

Result<Unit, FileError> copy_section(const OpenedFile& f, const Section& s, void* dst) {
  if (s.verified) {
    if (!s.bytes.empty()) std::memcpy(dst, s.bytes.data(), s.bytes.size());
    return Unit{};
  }
  // A piece is hashed, then copied while it is still in cache: the section
  // is read from memory once.
  constexpr std::size_t kPiece = std::size_t{256} << 10;
  Xxh64 h;
  auto* out = static_cast<std::uint8_t*>(dst);
  for (std::size_t at = 0; at < s.bytes.size(); at += kPiece) {
    const std::size_t m = std::min(kPiece, s.bytes.size() - at);
    h.update(s.bytes.data() + at, m);
    std::memcpy(out + at, s.bytes.data() + at, m);
  }
  if (h.digest() != s.checksum) return err(checksum_mismatch(f.path, s.tag));
  return Unit{};
}

Result<Unit, FileError> check_section(const OpenedFile& f, const Section& s) {
  if (!s.verified && xxh64(s.bytes.data(), s.bytes.size()) != s.checksum) return err(checksum_mismatch(f.path, s.tag));
  return Unit{};
}

Result<OpenedFile, FileError> parse_file(std::shared_ptr<const void> owner, std::span<const std::uint8_t> bytes,
                                         const std::string& path, Checks checks) {
  OpenedFile f;
  f.path = path;
  f.owner = std::move(owner);
  if (bytes.size() < 8 || std::memcmp(bytes.data(), kMagic, 8) != 0)
    return err(corrupt(path, "wrong magic (not a collection file)"));
  if (bytes.size() < kFixedHeader)
    return err(corrupt(path, "truncated: " + std::to_string(bytes.size()) + " bytes, shorter than the header"));
  Header& h = f.header;
  Cursor c(bytes, 8);
  std::uint32_t kind = 0, header_bytes = 0, nsections = 0, flags = 0;
  std::uint64_t file_size = 0;
  c.u32(h.version);
  c.u32(kind);
  c.u64(file_size);
  c.u32(header_bytes);
  c.u32(nsections);
  c.u64(h.count);
  c.u32(h.dimension);
  c.u32(flags);
  if (h.version > kVersion) {
    return err(FileError{FileError::Kind::Version,
                         "'" + path + "' has collection format version " + std::to_string(h.version) +
                             ", newer than this reader (it reads versions up to " + std::to_string(kVersion) +
                             "); upgrade zorvex_rs to load it"});
  }
  if (h.version == 0) return err(corrupt(path, "format version 0"));
  if (file_size != bytes.size()) {
    return err(corrupt(path, (bytes.size() < file_size ? "truncated: " : "extended: ") +
                                 std::to_string(bytes.size()) + " bytes, the header says " +
                                 std::to_string(file_size)));
  }
  if (header_bytes < kFixedHeader + 8 || header_bytes > bytes.size() || header_bytes > kMaxHeader)
    return err(corrupt(path, "header length " + std::to_string(header_bytes) + " out of range"));
  {
    std::uint64_t stored = 0;
    for (int i = 7; i >= 0; --i) stored = (stored << 8) | bytes[header_bytes - 8 + static_cast<std::size_t>(i)];
    if (stored != xxh64(bytes.data(), header_bytes - 8)) return err(corrupt(path, "header checksum mismatch"));
  }
  if (kind < 1 || kind > 3) return err(corrupt(path, "unknown kind " + std::to_string(kind)));
  h.kind = static_cast<Kind>(kind);
  if ((flags & ~1u) != 0) return err(corrupt(path, "unknown header flags"));
  h.has_dimension = (flags & 1u) == 0;

  const auto head = bytes.first(header_bytes - 8);
  Cursor v(head, kFixedHeader);
  std::uint32_t entries = 0;
  bool ok = v.text(h.config_text) && v.text(h.config_hash) && v.u32(h.codebook_bits) && v.u32(entries) &&
            entries <= 256;
  for (std::uint32_t i = 0; ok && i < entries; ++i) {
    std::uint32_t bits = 0;
    ok = v.u32(bits);
    h.codebook.push_back(std::bit_cast<float>(bits));
  }
  ok = ok && v.text(h.corpus_id) && v.u32(h.policy) && v.u32(h.index_bytes);
  const std::size_t table = (v.at() + 7) / 8 * 8;
  if (!ok || table + std::size_t{nsections} * kSectionEntry != head.size())
    return err(corrupt(path, "malformed header fields"));

  v.seek(table);
  std::uint64_t end = header_bytes;
  for (std::uint32_t i = 0; i < nsections; ++i) {
    std::uint32_t tag = 0, reserved = 0;
    std::uint64_t offset = 0, size = 0, checksum = 0;
    v.u32(tag);
    v.u32(reserved);
    v.u64(offset);
    v.u64(size);
    v.u64(checksum);
    if (offset % kAlign != 0 || offset < end || offset > bytes.size() || size > bytes.size() - offset) {
      return err(corrupt(path, "section " + std::to_string(i) + " (offset " + std::to_string(offset) + ", length " +
                                   std::to_string(size) + ") lies outside the file's " +
                                   std::to_string(bytes.size()) + " bytes"));
    }
    if (offset != align_up(end)) return err(corrupt(path, "section " + std::to_string(i) + " is misplaced"));
    f.sections.push_back({static_cast<Tag>(tag), bytes.subspan(offset, size), checksum});
    end = offset + size;
  }
  if (end != bytes.size())
    return err(corrupt(path, "extended: " + std::to_string(bytes.size() - end) + " bytes after the last section"));

  if (checks == Checks::All) {
    for (Section& s : f.sections) {
      if (xxh64(s.bytes.data(), s.bytes.size()) != s.checksum) return err(checksum_mismatch(path, s.tag));
      s.verified = true;
    }
  }
  if (checks != Checks::Bounds) {
    // The padding between header and sections holds zeros only.
    std::size_t at = header_bytes;
    for (const Section& s : f.sections) {
      const std::size_t start = static_cast<std::size_t>(s.bytes.data() - bytes.data());
      for (std::size_t k = at; k < start; ++k)
        if (bytes[k] != 0) return err(corrupt(path, "non-zero padding at byte " + std::to_string(k)));
      at = start + s.bytes.size();
    }
  }
  return f;
}

Result<OpenedFile, FileError> open_file(const std::string& path, bool map, bool verify) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return err(os_error(path, errno));
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int e = errno;
    ::close(fd);
    return err(os_error(path, e));
  }
  if (S_ISDIR(st.st_mode)) {
    ::close(fd);
    return err(os_error(path, EISDIR));
  }
  const auto size = static_cast<std::size_t>(st.st_size);
  // A copy is read through a mapping too: the page cache's pages are read
  // where they are instead of into fresh memory that must first be zeroed.
  if (size > 0) {
    int flags = MAP_SHARED;
#ifdef MAP_POPULATE
    // A copy reads every page: mapping them all at once costs far less than
    // a fault per page.
    if (!map) flags |= MAP_POPULATE;
#endif
    void* base = ::mmap(nullptr, size, PROT_READ, flags, fd, 0);
    const int e = errno;
    ::close(fd);
    if (base == MAP_FAILED) return err(os_error(path, e));
    if (!map) {
      ::madvise(base, size, MADV_SEQUENTIAL);
      ::madvise(base, size, MADV_WILLNEED);
    }
    auto mapping = std::make_shared<Mapping>(base, size);
    const Checks checks = !map ? Checks::Padding : verify ? Checks::All : Checks::Bounds;
    auto parsed = parse_file(mapping, {static_cast<const std::uint8_t*>(base), size}, path, checks);
    if (parsed) parsed->mapped = map;
    return parsed;
  }
  ::close(fd);
  return parse_file(nullptr, {}, path, Checks::All);  // empty: refused as such
}

}  // namespace zorvex::collection_file
