#include "io/collection_file/writer.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <limits.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <system_error>
#include <thread>

#include "common/xxh64.hpp"

namespace zorvex::collection_file {
namespace {

void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void put64(std::vector<std::uint8_t>& out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void put_text(std::vector<std::uint8_t>& out, const std::string& s) {
  put32(out, static_cast<std::uint32_t>(s.size()));
  out.insert(out.end(), s.begin(), s.end());
}

FileError os_error(const std::string& what, const std::string& path, int e) {
  return {FileError::Kind::Os, what + " '" + path + "': " + std::strerror(e), e};
}

std::string parent_of(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Gathers pieces and writes them with writev: large pieces straight from the
// caller's memory (which outlives every flush), small ones through a staging
// buffer. The first failure sticks and later writes are skipped.
class Sink {
 public:
  explicit Sink(int fd) : fd_(fd) { staging_.reserve(kStaging); }
  void write(const void* data, std::size_t size) {
    if (size == 0) return;
    if (size >= kDirect) {
      add({const_cast<void*>(data), size});
      return;
    }
    if (staging_.size() + size > kStaging) flush();
    const auto* p = static_cast<const std::uint8_t*>(data);
    const std::size_t at = staging_.size();
    staging_.insert(staging_.end(), p, p + size);  // never reallocates: flushed before it could
    add({staging_.data() + at, size});
  }
  void zeros(std::size_t size) {
    static const std::uint8_t pad[kAlign] = {};
    while (size > 0) {
      const std::size_t n = std::min(size, kAlign);
      write(pad, n);
      size -= n;
    }
  }
  void flush() {
    std::size_t first = 0;
    while (first < iov_.size() && errno_ == 0) {
      const int count = static_cast<int>(std::min<std::size_t>(iov_.size() - first, IOV_MAX));
      const ssize_t n = ::writev(fd_, iov_.data() + first, count);
      if (n < 0) {
        if (errno == EINTR) continue;
        errno_ = errno;
        break;
      }
      // Skip what was written; a partial write leaves the rest of an entry.
      auto done = static_cast<std::size_t>(n);
      while (done > 0 && first < iov_.size()) {
        iovec& v = iov_[first];
        if (done >= v.iov_len) {
          done -= v.iov_len;
          ++first;
        } else {
          v.iov_base = static_cast<std::uint8_t*>(v.iov_base) + done;
          v.iov_len -= done;
          done = 0;
        }
      }
    }
    iov_.clear();
    staging_.clear();
    pending_ = 0;
  }
  int error() const { return errno_; }

 private:
  static constexpr std::size_t kStaging = std::size_t{1} << 20;
  static constexpr std::size_t kDirect = 4096;
  static constexpr std::size_t kBatch = std::size_t{32} << 20;
  void add(iovec v) {
    iov_.push_back(v);
    pending_ += v.iov_len;
    if (pending_ >= kBatch) flush();
  }
  int fd_;
  int errno_ = 0;
  std::vector<std::uint8_t> staging_;
  std::vector<iovec> iov_;
  std::size_t pending_ = 0;
};

// The file about to be replaced gives its cached pages back before the new
// one is written: they are soon garbage, and otherwise the new file's pages
// must first be found elsewhere (measured: the write phase of a 1.5 GB save
// took five times longer). Only clean, unmapped pages go; the file itself is
// untouched until the rename.
void release_cached(const std::string& path) {
#ifdef POSIX_FADV_DONTNEED
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  ::close(fd);
#else
  (void)path;
#endif
}

// Below this a thread costs more than the checksums it would take off.
constexpr std::uint64_t kThreadedChecksum = std::uint64_t{4} << 20;

}  // namespace

std::size_t SectionOut::size() const {
  std::size_t n = 0;
  for (const Piece& p : pieces) n += p.size;
  return n;
}

std::size_t header_size(const Header& h, std::size_t sections) {
  const std::size_t variable = 4 + h.config_text.size() + 4 + h.config_hash.size() + 4 + 4 +
                               4 * h.codebook.size() + 4 + h.corpus_id.size() + 4 + 4;
  const std::size_t table = (kFixedHeader + variable + 7) / 8 * 8;
  return table + sections * kSectionEntry + 8;
}

std::vector<std::uint8_t> encode_header(const Header& h, std::uint64_t file_size,
                                        const std::vector<SectionEntry>& entries) {
  const std::size_t size = header_size(h, entries.size());
  std::vector<std::uint8_t> out(kMagic, kMagic + 8);
  out.reserve(size);
  put32(out, h.version);
  put32(out, static_cast<std::uint32_t>(h.kind));
  put64(out, file_size);
  put32(out, static_cast<std::uint32_t>(size));
  put32(out, static_cast<std::uint32_t>(entries.size()));
  put64(out, h.count);
  put32(out, h.dimension);
  put32(out, h.has_dimension ? 0u : 1u);  // flags: bit 0, no dimension yet
  put_text(out, h.config_text);
  put_text(out, h.config_hash);
  put32(out, h.codebook_bits);
  put32(out, static_cast<std::uint32_t>(h.codebook.size()));
  for (float e : h.codebook) put32(out, std::bit_cast<std::uint32_t>(e));
  put_text(out, h.corpus_id);
  put32(out, h.policy);
  put32(out, h.index_bytes);
  while (out.size() % 8) out.push_back(0);
  for (const SectionEntry& e : entries) {
    put32(out, static_cast<std::uint32_t>(e.tag));
    put32(out, 0);
    put64(out, e.offset);
    put64(out, e.size);
    put64(out, e.checksum);
  }
  put64(out, xxh64(out.data(), out.size()));
  return out;
}

Result<Unit, FileError> write_collection(const std::string& path, const Header& header,
                                         const std::vector<SectionOut>& sections) {
  std::vector<SectionEntry> entries;
  std::uint64_t at = align_up(header_size(header, sections.size()));
  std::uint64_t file_size = at;
  for (const SectionOut& s : sections) {
    entries.push_back({s.tag, at, s.size(), 0});
    file_size = at + s.size();
    at = align_up(file_size);
  }

  const std::string dir = parent_of(path);
  release_cached(path);
  std::string tmp;
  int fd = -1;
  {
    std::random_device rd;
    const std::string base = path.substr(path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/') + 1);
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
      char suffix[40];
      std::snprintf(suffix, sizeof suffix, ".tmp-%d-%08x%08x", static_cast<int>(::getpid()), rd(), rd());
      tmp = (dir == "." && path.find('/') == std::string::npos ? "" : dir + "/") + "." + base + suffix;
      fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      if (fd < 0 && errno != EEXIST) return err(os_error("cannot save to", path, errno));
    }
    if (fd < 0) return err(os_error("cannot save to", path, EEXIST));
  }
  auto fail = [&](int e) -> Result<Unit, FileError> {
    if (fd >= 0) ::close(fd);
    ::unlink(tmp.c_str());
    return err(os_error("cannot save to", path, e));
  };

  // A large file's checksums are computed on a thread of their own while
  // the sections are written (the bytes do not change: the caller holds its
  // lock); a small file's, or where no thread can be had, here after the
  // writing.
  const auto checksums = [&] {
    for (std::size_t i = 0; i < sections.size(); ++i) {
      Xxh64 hash;
      for (const Piece& p : sections[i].pieces) hash.update(p.data, p.size);
      entries[i].checksum = hash.digest();
    }
  };
  std::jthread hasher;  // joined however this function is left
  if (file_size >= kThreadedChecksum) {
    try {
      hasher = std::jthread(checksums);
    } catch (const std::system_error&) {
    }
  }
  Sink sink(fd);
  const std::size_t head = align_up(header_size(header, sections.size()));
  sink.zeros(head);
  std::uint64_t written = head;
  for (std::size_t i = 0; i < sections.size(); ++i) {
    if (written < entries[i].offset) sink.zeros(entries[i].offset - written);
    for (const Piece& p : sections[i].pieces) sink.write(p.data, p.size);
    written = entries[i].offset + entries[i].size;
  }
  sink.flush();
  if (hasher.joinable()) {
    hasher.join();
  } else {
    checksums();
  }
  if (sink.error()) return fail(sink.error());
  const auto bytes = encode_header(header, file_size, entries);
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(errno);
    }
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0) return fail(errno);
  const int closed = ::close(fd);
  fd = -1;
  if (closed != 0) return fail(errno);
  if (::rename(tmp.c_str(), path.c_str()) != 0) return fail(errno);
  // The rename itself is durable only once the directory is.
  const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    const int synced = ::fsync(dfd);
    const int e = errno;
    ::close(dfd);
    if (synced != 0 && e != EINVAL) return err(os_error("cannot flush the directory of", path, e));
  }
  return Unit{};
}

}  // namespace zorvex::collection_file
