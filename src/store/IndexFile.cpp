#include "IndexFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

#include <cerrno>
#include <cstring>

#include "Streams.h"

namespace {

constexpr char kMagic[8] = {'C', 'R', 'V', 'I', 'D', 'X', '0', '1'};
constexpr int64_t kHeadBytes = 4096;
constexpr int64_t kTailBytes = 64 * 1024;

// Every field eight bytes wide: no padding, the same layout wherever it is read back.
struct Header {
  char magic[8];
  uint64_t entrySize;
  uint64_t device;
  uint64_t inode;
  int64_t size;
  int64_t modified;  // nanoseconds; 0 when the file had grown past size when this was written
  uint64_t head;     // hash of the first kHeadBytes of the file
  uint64_t tail;     // hash of the kTailBytes before size
  int64_t rootEnd;
  int64_t recordsEnd;
  int64_t validEnd;
  uint64_t canonical;
  uint64_t count;
  uint64_t textBytes;
  uint64_t damageBytes;
};

uint64_t hashRange(int fd, int64_t from, int64_t length) {
  std::string bytes(static_cast<size_t>(length), '\0');
  size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::pread(fd, bytes.data() + got, bytes.size() - got, from + static_cast<int64_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;
    got += static_cast<size_t>(n);
  }
  return XXH3_64bits(bytes.data(), bytes.size());
}

uint64_t headHash(int fd, int64_t size) {
  return hashRange(fd, 0, std::min(size, kHeadBytes));
}

uint64_t tailHash(int fd, int64_t size) {
  const int64_t length = std::min(size, kTailBytes);
  return hashRange(fd, size - length, length);
}

int64_t modifiedOf(const struct stat& st) {
  return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

// The records lie one after another from the root line's end to the records' end, and
// their texts inside the texts.
bool consistent(const Header& h, std::span<const IndexEntry> entries) {
  if (h.rootEnd < 0 || h.rootEnd > h.recordsEnd || h.recordsEnd > h.validEnd || h.validEnd > h.size) return false;
  if (h.rootEnd == 0 && (h.recordsEnd != 0 || !entries.empty())) return false;
  int64_t at = h.rootEnd;
  for (const IndexEntry& e : entries) {
    const uint64_t texts = uint64_t{e.fromLength} + e.subjectLength + e.dateLength;
    if (e.start != at || e.length <= 0 || e.failure < -1 || e.text > h.textBytes || texts > h.textBytes - e.text)
      return false;
    at += e.length;
  }
  return at == h.recordsEnd;
}

// What the index file holds when it is whole: header, records, texts, damage, checksum.
bool readWhole(const std::string& path, std::string& bytes) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(sizeof(Header) + 8);
  if (ok) {
    bytes.resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (ok && got < bytes.size()) {
      const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
      if (n < 0 && errno == EINTR) continue;
      ok = n > 0;
      if (ok) got += static_cast<size_t>(n);
    }
  }
  ::close(fd);
  return ok;
}

IndexFile::Fit fitOf(const Header& h, int store) {
  struct stat st {};
  if (::fstat(store, &st) != 0 || h.device != st.st_dev || h.inode != st.st_ino) return IndexFile::Fit::None;
  IndexFile::Fit fit = IndexFile::Fit::None;
  const bool clean =
      h.rootEnd > 0 && h.canonical && h.damageBytes == 0 && h.recordsEnd == h.size && h.validEnd == h.size;
  if (st.st_size == h.size && modifiedOf(st) == h.modified)
    fit = IndexFile::Fit::Whole;
  else if (st.st_size > h.size && clean)
    fit = IndexFile::Fit::Prefix;
  if (fit == IndexFile::Fit::None || headHash(store, h.size) != h.head || tailHash(store, h.size) != h.tail)
    return IndexFile::Fit::None;
  return fit;
}

}  // namespace

IndexFile::Fit IndexFile::Load(int store, StoreIndex& index) const {
  std::string bytes;
  if (!readWhole(path_, bytes)) return Fit::None;
  Header h;
  std::memcpy(&h, bytes.data(), sizeof h);
  const uint64_t room = bytes.size() - sizeof h - 8;
  if (std::memcmp(h.magic, kMagic, sizeof kMagic) != 0 || h.entrySize != sizeof(IndexEntry) ||
      h.count > room / sizeof(IndexEntry) || h.textBytes > room - h.count * sizeof(IndexEntry) ||
      h.damageBytes != room - h.count * sizeof(IndexEntry) - h.textBytes)
    return Fit::None;
  uint64_t checksum;
  std::memcpy(&checksum, bytes.data() + bytes.size() - 8, 8);
  if (checksum != XXH3_64bits(bytes.data(), bytes.size() - 8)) return Fit::None;
  // Room for the records to come: the first one stored must not copy them all.
  std::vector<IndexEntry> records;
  records.reserve(h.count + h.count / 8 + 64);
  const char* at = bytes.data() + sizeof h;
  records.insert(records.end(), reinterpret_cast<const IndexEntry*>(at),
                 reinterpret_cast<const IndexEntry*>(at) + h.count);
  at += h.count * sizeof(IndexEntry);
  if (!consistent(h, records)) return Fit::None;
  const Fit fit = fitOf(h, store);
  if (fit == Fit::None) return fit;
  index.rootEnd = h.rootEnd;
  index.recordsEnd = h.recordsEnd;
  index.validEnd = h.validEnd;
  index.size = h.size;
  index.canonical = h.canonical != 0;
  index.records = std::move(records);
  index.texts.reserve(h.textBytes + h.textBytes / 8 + 4096);
  index.texts.assign(at, h.textBytes);
  index.damage.assign(at + h.textBytes, h.damageBytes);
  return fit;
}

bool IndexFile::Save(int store, const StoreIndex& index, std::span<const IndexEntry> records) const {
  struct stat st {};
  if (::fstat(store, &st) != 0) return false;
  Header h{};
  std::memcpy(h.magic, kMagic, sizeof kMagic);
  h.entrySize = sizeof(IndexEntry);
  h.device = st.st_dev;
  h.inode = st.st_ino;
  h.size = index.size;
  h.modified = st.st_size == index.size ? modifiedOf(st) : 0;
  h.head = headHash(store, index.size);
  h.tail = tailHash(store, index.size);
  h.rootEnd = index.rootEnd;
  h.recordsEnd = index.recordsEnd;
  h.validEnd = index.validEnd;
  h.canonical = index.canonical ? 1 : 0;
  h.count = records.size();
  h.damageBytes = index.damage.size();
  // Only the texts of these records go out, each record pointing at its own.
  std::vector<IndexEntry> written(records.begin(), records.end());
  std::string texts;
  for (IndexEntry& e : written) {
    const size_t length = size_t{e.fromLength} + e.subjectLength + e.dateLength;
    const size_t from = texts.size();
    texts.append(index.texts, e.text, length);
    e.text = from;
  }
  h.textBytes = texts.size();
  std::string bytes(reinterpret_cast<const char*>(&h), sizeof h);
  if (!written.empty())
    bytes.append(reinterpret_cast<const char*>(written.data()), written.size() * sizeof(IndexEntry));
  bytes += texts;
  bytes += index.damage;
  const uint64_t checksum = XXH3_64bits(bytes.data(), bytes.size());
  bytes.append(reinterpret_cast<const char*>(&checksum), sizeof checksum);
  // Not synced: an index cut short by a crash fails its checksum and is made anew.
  const std::string temp = path_ + ".new";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, corvane::kPrivateFileMode);
  if (fd < 0) return false;
  const bool ok = corvane::WriteAll(fd, bytes);
  if (::close(fd) != 0 || !ok || ::rename(temp.c_str(), path_.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

void IndexFile::Remove() const {
  ::unlink(path_.c_str());
}
