// The collection file reader on arbitrary bytes. The first byte picks a mode:
// bit 0 re-seals the input (section and header checksums recomputed over
// whatever the table says) so that mutations reach the checks behind the
// checksums; bit 1 asks for verification. Whatever the input, parsing must
// not read outside it, a verified parse must imply an unverified one, every
// accepted section must lie inside the input, and identifier columns built
// over accepted tables must stay in bounds for every lookup.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "backend/id_column.hpp"
#include "common/xxh64.hpp"
#include "fuzz_common.hpp"
#include "io/collection_file/format.hpp"
#include "io/collection_file/reader.hpp"

namespace {

namespace cf = zorvex::collection_file;

std::uint64_t get(const std::vector<std::uint8_t>& b, std::size_t at, int width) {
  std::uint64_t v = 0;
  for (int i = width - 1; i >= 0; --i) v = (v << 8) | b[at + static_cast<std::size_t>(i)];
  return v;
}

void put64(std::vector<std::uint8_t>& b, std::size_t at, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Recomputes what checksums it can find; leaves the rest alone.
void reseal(std::vector<std::uint8_t>& b) {
  if (b.size() < cf::kFixedHeader) return;
  const std::size_t header = get(b, 24, 4), sections = get(b, 28, 4);
  if (header < cf::kFixedHeader + 8 || header > b.size()) return;
  const std::size_t table = header - 8 - sections * cf::kSectionEntry;
  if (sections * cf::kSectionEntry > header - 8 || table < cf::kFixedHeader) return;
  for (std::size_t i = 0; i < sections; ++i) {
    const std::size_t e = table + i * cf::kSectionEntry;
    const std::uint64_t offset = get(b, e + 8, 8), size = get(b, e + 16, 8);
    if (offset <= b.size() && size <= b.size() - offset) put64(b, e + 24, zorvex::xxh64(b.data() + offset, size));
  }
  put64(b, header - 8, zorvex::xxh64(b.data(), header - 8));
}

void exercise_ids(const cf::OpenedFile& f) {
  if (f.sections.size() < 3 || f.sections[0].tag != cf::Tag::IdOffsets) return;
  const std::uint64_t n = f.header.count;
  if (n > (1u << 20) || f.sections[0].bytes.size() != (n + 1) * 8 || f.sections[2].bytes.size() != n * 8) return;
  std::vector<std::uint64_t> offsets(n + 1), order(n);
  std::memcpy(offsets.data(), f.sections[0].bytes.data(), offsets.size() * 8);
  if (n) std::memcpy(order.data(), f.sections[2].bytes.data(), order.size() * 8);
  if (offsets[n] != f.sections[1].bytes.size()) return;
  // A copy of exactly the tables' bytes, so that any read past them trips the sanitizer.
  std::vector<char> bytes(f.sections[1].bytes.begin(), f.sections[1].bytes.end());
  const zorvex::detail::IdColumn column{offsets.data(), bytes.data(), order.data(), static_cast<std::size_t>(n),
                                        offsets[n]};
  for (std::size_t i = 0; i <= n; ++i) {
    const std::string id(column.at(i));
    const auto found = column.find(id);
    FUZZ_CHECK(!found || *found < n, "find returned position %zu of %zu", *found, static_cast<std::size_t>(n));
  }
  (void)column.find("\xff\xff");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t mode = data[0];
  // An exact-size heap copy: a read one byte past the input is caught.
  std::vector<std::uint8_t> bytes(data + 1, data + size);
  if (mode & 1) reseal(bytes);
  auto* copy = new std::uint8_t[bytes.size() ? bytes.size() : 1];
  if (!bytes.empty()) std::memcpy(copy, bytes.data(), bytes.size());
  const std::span<const std::uint8_t> view(copy, bytes.size());

  const bool verify = (mode & 2) != 0;
  auto parsed = cf::parse_file(nullptr, view, "fuzz", verify ? cf::Checks::All : cf::Checks::Bounds);
  if (parsed) {
    for (const cf::Section& s : parsed->sections) {
      FUZZ_CHECK(s.bytes.data() >= copy && s.bytes.data() + s.bytes.size() <= copy + bytes.size(),
                 "section outside the input");
    }
    exercise_ids(*parsed);
    if (verify) FUZZ_CHECK(cf::parse_file(nullptr, view, "fuzz", cf::Checks::Bounds).ok(), "verified but not accepted unverified");
  } else {
    FUZZ_CHECK(!parsed.error().message.empty(), "an error without a message");
  }
  delete[] copy;
  return 0;
}
