#include "direct_write_vfs.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quorvel {
namespace {

// The unit that O_DIRECT needs offsets, lengths and addresses aligned to,
// and the unit in which a block marks what was written to it.
constexpr std::size_t kUnit = 4096;

// Blocks written by the thread or queued for it beyond the window's own:
// the disk takes one while SQLite fills the next. With at least one, a
// window that moves always finds a block free once the thread is done
// with one.
constexpr std::size_t kBlocksInFlight = 2;

// A condition variable over std::mutex that waits through pthreads itself:
// the C++ library's own wait is a symbol newer than the oldest systems the
// packages install on allow.
class Condition {
 public:
  Condition() = default;
  ~Condition() { pthread_cond_destroy(&condition_); }
  Condition(const Condition&) = delete;
  Condition& operator=(const Condition&) = delete;

  template <class Ready>
  void wait(std::unique_lock<std::mutex>& lock, Ready ready) {
    while (!ready()) pthread_cond_wait(&condition_, lock.mutex()->native_handle());
  }
  void notify_one() { pthread_cond_signal(&condition_); }
  void notify_all() { pthread_cond_broadcast(&condition_); }

 private:
  pthread_cond_t condition_ = PTHREAD_COND_INITIALIZER;
};

// One block of the file: its bytes, and which of its units were written.
// Only written units go to the disk, so a block never puts zeros over
// bytes that it did not receive.
struct Block {
  std::uint64_t index = 0;
  std::byte* bytes = nullptr;
  std::vector<std::uint8_t> written;
};

// The gathered writes of one database file, and the thread that writes
// them. Called by SQLite on one thread at a time; the thread takes blocks
// from a queue.
class BlockWriter {
 public:
  // Null when the file cannot be opened a second time, or the memory for
  // its blocks cannot be had: the file then passes straight through.
  static std::unique_ptr<BlockWriter> open(const char* path, sqlite3_file* real, const DirectWriteShape& shape) {
    int fd = shape.direct ? ::open(path, O_RDWR | O_CLOEXEC | O_DIRECT) : -1;
    const bool direct = fd >= 0;
    if (fd < 0) fd = ::open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) return nullptr;
    sqlite3_int64 size = 0;
    const std::size_t bytes = (shape.window_blocks + kBlocksInFlight) * shape.block_bytes;
    void* memory = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (real->pMethods->xFileSize(real, &size) == SQLITE_OK && memory != MAP_FAILED) {
      // Nothing may escape into SQLite's C frames: without memory or a
      // thread, the file passes straight through.
      try {
        return std::unique_ptr<BlockWriter>(
            new BlockWriter(fd, direct, real, shape, static_cast<std::byte*>(memory), static_cast<std::uint64_t>(size)));
      } catch (const std::exception&) {
      }
    }
    if (memory != MAP_FAILED) ::munmap(memory, bytes);
    ::close(fd);
    return nullptr;
  }

  ~BlockWriter() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    queued_.notify_all();
    thread_.join();
    ::munmap(memory_, blocks_.size() * block_bytes_);
    ::close(fd_);
  }

  BlockWriter(const BlockWriter&) = delete;
  BlockWriter& operator=(const BlockWriter&) = delete;

  int write(const void* data, int amount, sqlite3_int64 offset) {
    if (const int rc = failure(SQLITE_IOERR_WRITE); rc != SQLITE_OK) return rc;
    const auto* from = static_cast<const std::byte*>(data);
    auto at = static_cast<std::uint64_t>(offset);
    auto left = static_cast<std::size_t>(amount);
    while (left > 0) {
      const std::uint64_t index = at / block_bytes_;
      const std::size_t within = at % block_bytes_;
      const std::size_t piece = std::min(left, block_bytes_ - within);
      if (index < first_block_) {
        if (const int rc = wait_written(at + piece, SQLITE_IOERR_WRITE); rc != SQLITE_OK) return rc;
        const int rc = real_->pMethods->xWrite(real_, from, static_cast<int>(piece), static_cast<sqlite3_int64>(at));
        if (rc != SQLITE_OK) return rc;
      } else {
        if (index >= first_block_ + window_.size()) move_window_to(index);
        Block* block = window_block(index);
        if (block == nullptr) return failure(SQLITE_IOERR_WRITE);
        put_into(*block, within, from, piece);
      }
      from += piece;
      at += piece;
      left -= piece;
    }
    size_ = std::max(size_, at);
    return SQLITE_OK;
  }

  int read(void* data, int amount, sqlite3_int64 offset) {
    if (const int rc = failure(SQLITE_IOERR_READ); rc != SQLITE_OK) return rc;
    auto* to = static_cast<std::byte*>(data);
    auto at = static_cast<std::uint64_t>(offset);
    auto left = static_cast<std::size_t>(amount);
    const bool beyond_end = at + left > size_;
    while (left > 0) {
      const std::uint64_t index = at / block_bytes_;
      const std::size_t within = at % block_bytes_;
      const std::size_t piece = std::min(left, block_bytes_ - within);
      if (index < first_block_) {
        if (const int rc = wait_written(at + piece, SQLITE_IOERR_READ); rc != SQLITE_OK) return rc;
        // The default VFS fills what lies past the file's end with zeros.
        const int rc = real_->pMethods->xRead(real_, to, static_cast<int>(piece), static_cast<sqlite3_int64>(at));
        if (rc != SQLITE_OK && rc != SQLITE_IOERR_SHORT_READ) return rc;
      } else {
        take_from(index < first_block_ + window_.size() ? window_[index % window_.size()] : nullptr, within, to, piece);
      }
      to += piece;
      at += piece;
      left -= piece;
    }
    return beyond_end ? SQLITE_IOERR_SHORT_READ : SQLITE_OK;
  }

  int file_size(sqlite3_int64* size) {
    const int rc = real_->pMethods->xFileSize(real_, size);
    if (rc == SQLITE_OK) *size = std::max(*size, static_cast<sqlite3_int64>(size_));
    return rc;
  }

  int truncate(sqlite3_int64 size) {
    if (const int rc = flush(); rc != SQLITE_OK) return rc;
    size_ = static_cast<std::uint64_t>(size);
    first_block_ = std::max(first_block_, blocks_to(size_));
    return real_->pMethods->xTruncate(real_, size);
  }

  int sync(int flags) {
    if (const int rc = flush(); rc != SQLITE_OK) return rc;
    return real_->pMethods->xSync(real_, flags);
  }

  // Sends every gathered block to the disk and waits for it. The window
  // then starts past the file's end, so that it never stands for bytes
  // that the disk already holds.
  int flush() {
    for (std::uint64_t index = first_block_; index < first_block_ + window_.size(); ++index) hand_off(index);
    first_block_ = std::max(first_block_, blocks_to(size_));
    if (const int rc = wait_written(UINT64_MAX, SQLITE_IOERR_WRITE); rc != SQLITE_OK) return rc;
    // Whole units may have reached past the end SQLite wrote.
    sqlite3_int64 on_disk = 0;
    if (const int rc = real_->pMethods->xFileSize(real_, &on_disk); rc != SQLITE_OK) return rc;
    if (static_cast<std::uint64_t>(on_disk) > size_) {
      return real_->pMethods->xTruncate(real_, static_cast<sqlite3_int64>(size_));
    }
    return SQLITE_OK;
  }

 private:
  BlockWriter(int fd, bool direct, sqlite3_file* real, const DirectWriteShape& shape, std::byte* memory,
               std::uint64_t size)
      : fd_(fd),
        direct_(direct),
        real_(real),
        block_bytes_(shape.block_bytes),
        pwrite_(shape.pwrite),
        memory_(memory),
        blocks_(shape.window_blocks + kBlocksInFlight),
        window_(shape.window_blocks, nullptr),
        size_(size) {
    // The window starts past the file's end: the bytes below are on disk.
    first_block_ = blocks_to(size);
    for (std::size_t i = 0; i < blocks_.size(); ++i) {
      blocks_[i].bytes = memory_ + i * block_bytes_;
      blocks_[i].written.assign(block_bytes_ / kUnit, 0);
      free_.push_back(&blocks_[i]);
    }
    thread_ = std::thread([this] { write_queued(); });
  }

  std::uint64_t blocks_to(std::uint64_t bytes) const { return (bytes + block_bytes_ - 1) / block_bytes_; }

  // SQLITE_OK, or once a block's write failed, the code for it: SQLITE_FULL
  // for a full disk or quota, else `code`.
  // Read without the lock: SQLite calls this for every page it writes.
  int failure(int code) const { return code_for(code); }

  int code_for(int code) const {
    const int error = error_.load(std::memory_order_acquire);
    if (error == 0) return SQLITE_OK;
    return error == ENOSPC || error == EDQUOT ? SQLITE_FULL : code;
  }

  // Moves the window up so that its last block is `index`, sending the
  // blocks it leaves behind to the disk.
  void move_window_to(std::uint64_t index) {
    const std::uint64_t first = index + 1 - window_.size();
    for (std::uint64_t i = first_block_; i < std::min(first, first_block_ + window_.size()); ++i) hand_off(i);
    first_block_ = first;
  }

  // The window's block `index`, taken from the free ones at its first
  // write; null when a write failed meanwhile.
  Block* window_block(std::uint64_t index) {
    Block*& slot = window_[index % window_.size()];
    if (slot != nullptr) return slot;
    std::unique_lock lock(mutex_);
    written_.wait(lock, [&] { return !free_.empty() || error_ != 0; });
    if (error_ != 0) return nullptr;
    slot = free_.back();
    free_.pop_back();
    slot->index = index;
    return slot;
  }

  void hand_off(std::uint64_t index) {
    Block*& slot = window_[index % window_.size()];
    if (slot == nullptr || slot->index != index) return;
    {
      std::lock_guard lock(mutex_);
      queue_.push_back(slot);
    }
    slot = nullptr;
    queued_.notify_one();
  }

  // Waits until the disk holds every handed-off block that starts below
  // `end`: SQLITE_OK, or failure(code) once a write has failed.
  int wait_written(std::uint64_t end, int code) {
    std::unique_lock lock(mutex_);
    written_.wait(lock, [&] { return error_ != 0 || queue_.empty() || queue_.front()->index * block_bytes_ >= end; });
    return code_for(code);
  }

  // Copies bytes into a block, marking the units they touch; a unit
  // written only in part gets zeros around them, as a file would hold.
  void put_into(Block& block, std::size_t within, const std::byte* from, std::size_t bytes) {
    const std::size_t first_unit = within / kUnit;
    const std::size_t end_unit = (within + bytes + kUnit - 1) / kUnit;
    for (const std::size_t unit : {first_unit, end_unit - 1}) {
      if (block.written[unit] == 0) std::memset(block.bytes + unit * kUnit, 0, kUnit);
    }
    std::memcpy(block.bytes + within, from, bytes);
    std::fill(block.written.begin() + static_cast<std::ptrdiff_t>(first_unit),
              block.written.begin() + static_cast<std::ptrdiff_t>(end_unit), 1);
  }

  // Copies bytes out of a window block (null: not written yet), with
  // zeros for the units it was not given.
  void take_from(const Block* block, std::size_t within, std::byte* to, std::size_t bytes) const {
    while (bytes > 0) {
      const std::size_t unit = within / kUnit;
      const std::size_t piece = std::min(bytes, (unit + 1) * kUnit - within);
      if (block != nullptr && block->written[unit] != 0) {
        std::memcpy(to, block->bytes + within, piece);
      } else {
        std::memset(to, 0, piece);
      }
      to += piece;
      within += piece;
      bytes -= piece;
    }
  }

  // The thread: writes queued blocks in order until told to stop.
  void write_queued() {
    std::unique_lock lock(mutex_);
    for (;;) {
      queued_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
      if (queue_.empty() || error_ != 0) return;
      Block* block = queue_.front();
      lock.unlock();
      const int error = write_block(*block);
      std::fill(block->written.begin(), block->written.end(), 0);
      lock.lock();
      queue_.pop_front();
      free_.push_back(block);
      if (error != 0 && error_.load(std::memory_order_relaxed) == 0) error_.store(error, std::memory_order_release);
      written_.notify_all();
    }
  }

  // Writes a block's runs of written units; the errno of a failure, or 0.
  int write_block(const Block& block) {
    const std::uint64_t base = block.index * block_bytes_;
    const std::size_t units = block.written.size();
    for (std::size_t unit = 0; unit < units;) {
      if (block.written[unit] == 0) {
        ++unit;
        continue;
      }
      std::size_t end = unit;
      while (end < units && block.written[end] != 0) ++end;
      if (const int error = write_at(block.bytes + unit * kUnit, (end - unit) * kUnit, base + unit * kUnit);
          error != 0) {
        return error;
      }
      unit = end;
    }
    // Through the page cache, the disk starts on the block now, so that the
    // final sync finds little left.
    if (!direct_) {
      (void)::sync_file_range(fd_, static_cast<off_t>(base), static_cast<off_t>(block_bytes_), SYNC_FILE_RANGE_WRITE);
    }
    return 0;
  }

  int write_at(const std::byte* from, std::size_t bytes, std::uint64_t offset) {
    while (bytes > 0) {
      const ssize_t put = pwrite_(fd_, from, bytes, static_cast<off_t>(offset));
      if (put < 0 && errno == EINTR) continue;
      if (put < 0 && errno == EINVAL && direct_) {
        // The file system takes no direct writes of this alignment after
        // all: the page cache it is.
        if (::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_DIRECT) != 0) return errno;
        direct_ = false;
        continue;
      }
      if (put < 0) return errno;
      if (put == 0) return EIO;
      from += put;
      bytes -= static_cast<std::size_t>(put);
      offset += static_cast<std::uint64_t>(put);
    }
    return 0;
  }

  const int fd_;
  bool direct_;  // the thread's own once it runs
  sqlite3_file* const real_;
  const std::size_t block_bytes_;
  ssize_t (*const pwrite_)(int, const void*, std::size_t, off_t);
  std::byte* const memory_;
  std::vector<Block> blocks_;
  // SQLite's thread only.
  std::vector<Block*> window_;  // block index % size -> the block, or null
  std::uint64_t first_block_ = 0;     // the window's first block
  std::uint64_t size_ = 0;      // the file's end as SQLite wrote it
  // Shared with the thread, under mutex_.
  std::mutex mutex_;
  Condition queued_;
  Condition written_;
  std::deque<Block*> queue_;  // ascending indices; the front is being written
  std::vector<Block*> free_;
  std::atomic<int> error_{0};  // written by the thread under mutex_
  bool stopping_ = false;
  std::thread thread_;
};

// The VFS: the default one's methods, with its files wrapped.
struct GatheringVfs {
  sqlite3_vfs vfs;  // first: SQLite knows only this part
  sqlite3_vfs* real;
  DirectWriteShape shape;
  std::string name;
};

struct WrappedFile {
  sqlite3_file base;  // first: SQLite knows only this part
  BlockWriter* gathered;  // the main database file's; null when passed through
  sqlite3_file* real;      // the default VFS's file, in the same allocation
};

static_assert(offsetof(GatheringVfs, vfs) == 0 && offsetof(WrappedFile, base) == 0,
              "SQLite hands back pointers to the first member");

constexpr int kFileHead = static_cast<int>((sizeof(WrappedFile) + 15) / 16 * 16);

sqlite3_vfs* real_vfs(sqlite3_vfs* vfs) { return reinterpret_cast<GatheringVfs*>(vfs)->real; }
WrappedFile* gathering(sqlite3_file* file) { return reinterpret_cast<WrappedFile*>(file); }
sqlite3_file* real_file(sqlite3_file* file) { return gathering(file)->real; }
BlockWriter* gathered(sqlite3_file* file) { return gathering(file)->gathered; }

int close_file(sqlite3_file* file) {
  WrappedFile* f = gathering(file);
  const int flushed = f->gathered != nullptr ? f->gathered->flush() : SQLITE_OK;
  const int closed = f->real->pMethods->xClose(f->real);
  delete f->gathered;
  f->gathered = nullptr;
  return flushed != SQLITE_OK ? flushed : closed;
}

const sqlite3_io_methods kFileMethods = {
    3,
    close_file,
    [](sqlite3_file* f, void* data, int amount, sqlite3_int64 offset) {
      if (BlockWriter* g = gathered(f)) return g->read(data, amount, offset);
      return real_file(f)->pMethods->xRead(real_file(f), data, amount, offset);
    },
    [](sqlite3_file* f, const void* data, int amount, sqlite3_int64 offset) {
      if (BlockWriter* g = gathered(f)) return g->write(data, amount, offset);
      return real_file(f)->pMethods->xWrite(real_file(f), data, amount, offset);
    },
    [](sqlite3_file* f, sqlite3_int64 size) {
      if (BlockWriter* g = gathered(f)) return g->truncate(size);
      return real_file(f)->pMethods->xTruncate(real_file(f), size);
    },
    [](sqlite3_file* f, int flags) {
      if (BlockWriter* g = gathered(f)) return g->sync(flags);
      return real_file(f)->pMethods->xSync(real_file(f), flags);
    },
    [](sqlite3_file* f, sqlite3_int64* size) {
      if (BlockWriter* g = gathered(f)) return g->file_size(size);
      return real_file(f)->pMethods->xFileSize(real_file(f), size);
    },
    [](sqlite3_file* f, int lock) { return real_file(f)->pMethods->xLock(real_file(f), lock); },
    [](sqlite3_file* f, int lock) { return real_file(f)->pMethods->xUnlock(real_file(f), lock); },
    [](sqlite3_file* f, int* out) { return real_file(f)->pMethods->xCheckReservedLock(real_file(f), out); },
    [](sqlite3_file* f, int op, void* arg) {
      if (op == kDirectWriteFlush) return gathered(f) != nullptr ? gathered(f)->flush() : SQLITE_NOTFOUND;
      return real_file(f)->pMethods->xFileControl(real_file(f), op, arg);
    },
    [](sqlite3_file* f) { return real_file(f)->pMethods->xSectorSize(real_file(f)); },
    [](sqlite3_file* f) { return real_file(f)->pMethods->xDeviceCharacteristics(real_file(f)); },
    [](sqlite3_file* f, int region, int size, int extend, void volatile** out) {
      return real_file(f)->pMethods->xShmMap(real_file(f), region, size, extend, out);
    },
    [](sqlite3_file* f, int offset, int count, int flags) {
      return real_file(f)->pMethods->xShmLock(real_file(f), offset, count, flags);
    },
    [](sqlite3_file* f) { real_file(f)->pMethods->xShmBarrier(real_file(f)); },
    [](sqlite3_file* f, int remove) { return real_file(f)->pMethods->xShmUnmap(real_file(f), remove); },
    // A gathered file is never mapped: SQLite then reads through xRead.
    [](sqlite3_file* f, sqlite3_int64 offset, int amount, void** out) {
      if (gathered(f) != nullptr) {
        *out = nullptr;
        return SQLITE_OK;
      }
      return real_file(f)->pMethods->xFetch(real_file(f), offset, amount, out);
    },
    [](sqlite3_file* f, sqlite3_int64 offset, void* page) {
      if (gathered(f) != nullptr) return SQLITE_OK;
      return real_file(f)->pMethods->xUnfetch(real_file(f), offset, page);
    },
};

int open_file(sqlite3_vfs* vfs, sqlite3_filename name, sqlite3_file* file, int flags, int* out_flags) {
  WrappedFile* f = gathering(file);
  f->base.pMethods = nullptr;
  f->gathered = nullptr;
  f->real = reinterpret_cast<sqlite3_file*>(reinterpret_cast<char*>(file) + kFileHead);
  const int rc = real_vfs(vfs)->xOpen(real_vfs(vfs), name, f->real, flags, out_flags);
  // SQLite closes a file whose open failed when its methods are set.
  if (f->real->pMethods != nullptr) f->base.pMethods = &kFileMethods;
  if (rc != SQLITE_OK) return rc;
  // Gathered files answer every method of version 3 (see kFileMethods); a
  // file of an older kind passes through.
  if ((flags & SQLITE_OPEN_MAIN_DB) != 0 && name != nullptr && f->real->pMethods->iVersion >= 3) {
    f->gathered = BlockWriter::open(name, f->real, reinterpret_cast<GatheringVfs*>(vfs)->shape).release();
  }
  return SQLITE_OK;
}

void fill_methods(sqlite3_vfs& vfs, const sqlite3_vfs& real) {
  vfs.iVersion = std::min(real.iVersion, 3);
  vfs.szOsFile = kFileHead + real.szOsFile;
  vfs.mxPathname = real.mxPathname;
  vfs.xOpen = open_file;
  vfs.xDelete = [](sqlite3_vfs* v, const char* name, int sync) { return real_vfs(v)->xDelete(real_vfs(v), name, sync); };
  vfs.xAccess = [](sqlite3_vfs* v, const char* name, int flags, int* out) {
    return real_vfs(v)->xAccess(real_vfs(v), name, flags, out);
  };
  vfs.xFullPathname = [](sqlite3_vfs* v, const char* name, int size, char* out) {
    return real_vfs(v)->xFullPathname(real_vfs(v), name, size, out);
  };
  vfs.xDlOpen = [](sqlite3_vfs* v, const char* name) { return real_vfs(v)->xDlOpen(real_vfs(v), name); };
  vfs.xDlError = [](sqlite3_vfs* v, int size, char* out) { real_vfs(v)->xDlError(real_vfs(v), size, out); };
  vfs.xDlSym = [](sqlite3_vfs* v, void* handle, const char* symbol) {
    return real_vfs(v)->xDlSym(real_vfs(v), handle, symbol);
  };
  vfs.xDlClose = [](sqlite3_vfs* v, void* handle) { real_vfs(v)->xDlClose(real_vfs(v), handle); };
  vfs.xRandomness = [](sqlite3_vfs* v, int size, char* out) { return real_vfs(v)->xRandomness(real_vfs(v), size, out); };
  vfs.xSleep = [](sqlite3_vfs* v, int micros) { return real_vfs(v)->xSleep(real_vfs(v), micros); };
  vfs.xCurrentTime = [](sqlite3_vfs* v, double* out) { return real_vfs(v)->xCurrentTime(real_vfs(v), out); };
  vfs.xGetLastError = [](sqlite3_vfs* v, int size, char* out) {
    return real_vfs(v)->xGetLastError(real_vfs(v), size, out);
  };
  if (vfs.iVersion >= 2) {
    vfs.xCurrentTimeInt64 = [](sqlite3_vfs* v, sqlite3_int64* out) {
      return real_vfs(v)->xCurrentTimeInt64(real_vfs(v), out);
    };
  }
  if (vfs.iVersion >= 3) {
    vfs.xSetSystemCall = [](sqlite3_vfs* v, const char* name, sqlite3_syscall_ptr call) {
      return real_vfs(v)->xSetSystemCall(real_vfs(v), name, call);
    };
    vfs.xGetSystemCall = [](sqlite3_vfs* v, const char* name) {
      return real_vfs(v)->xGetSystemCall(real_vfs(v), name);
    };
    vfs.xNextSystemCall = [](sqlite3_vfs* v, const char* name) {
      return real_vfs(v)->xNextSystemCall(real_vfs(v), name);
    };
  }
}

}  // namespace

std::string direct_write_vfs(const DirectWriteShape& shape) {
  static std::mutex mutex;
  // Registered VFSs live as long as the process: SQLite keeps pointers to
  // them, and a connection may outlive any owner here.
  static auto* registered = new std::vector<std::unique_ptr<GatheringVfs>>();
  std::lock_guard lock(mutex);
  for (const auto& vfs : *registered) {
    const DirectWriteShape& known = vfs->shape;
    if (known.block_bytes == shape.block_bytes && known.window_blocks == shape.window_blocks &&
        known.direct == shape.direct && known.pwrite == shape.pwrite) {
      return vfs->name;
    }
  }
  const std::string name = "quorvel-gathering-" + std::to_string(registered->size());
  sqlite3_vfs* real = sqlite3_vfs_find(nullptr);
  // A block shares no memory page with another: the kernel drops the cached
  // pages a direct write covers, and a page half buffered would not go.
  const auto memory_page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  if (real == nullptr || shape.block_bytes == 0 || shape.block_bytes % kUnit != 0 ||
      shape.block_bytes % memory_page != 0 || shape.window_blocks == 0) {
    return {};
  }
  auto vfs = std::make_unique<GatheringVfs>();
  vfs->real = real;
  vfs->shape = shape;
  vfs->name = name;
  fill_methods(vfs->vfs, *real);
  vfs->vfs.zName = vfs->name.c_str();
  if (sqlite3_vfs_register(&vfs->vfs, 0) != SQLITE_OK) return {};
  registered->push_back(std::move(vfs));
  return name;
}

}  // namespace quorvel
