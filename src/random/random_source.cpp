#include "random/random_source.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace velmora {

namespace {

[[noreturn]] void entropy_failure(int error) {
  std::string description;
  if (error <= 0) {
    description = "errno: did not return a positive value";
  } else {
    char buf[256];
    const char* text = strerror_r(error, buf, sizeof buf);  // GNU variant
    description = (text != nullptr && *text != '\0') ? std::string(text)
                                                     : "OS Error: " + std::to_string(error);
  }
  throw InternalError("from_entropy failed: " + description);
}

[[noreturn]] void unexpected_read() {
  throw InternalError("from_entropy failed: unexpected situation");
}

// Closes a file descriptor on every way out.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

int open_device(const char* path) {
  for (;;) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) return fd;
    if (errno != EINTR) entropy_failure(errno);
  }
}

// Kernels without the getrandom system call: wait until /dev/random is
// readable (the kernel's pool is initialised), then read /dev/urandom.
void fill_from_device(std::uint8_t* out, std::size_t n) {
  {
    FileDescriptor random(open_device("/dev/random"));
    pollfd pfd{random.get(), POLLIN, 0};
    while (::poll(&pfd, 1, -1) < 0) {
      if (errno != EINTR) entropy_failure(errno);
    }
  }
  FileDescriptor urandom(open_device("/dev/urandom"));
  std::size_t got = 0;
  while (got < n) {
    const ssize_t r = ::read(urandom.get(), out + got, n - got);
    if (r < 0) {
      if (errno == EINTR) continue;
      entropy_failure(errno);
    }
    if (r == 0 || static_cast<std::size_t>(r) > n - got) unexpected_read();
    got += static_cast<std::size_t>(r);
  }
}

void fill_entropy(std::uint8_t* out, std::size_t n) {
  std::size_t got = 0;
  while (got < n) {
    errno = 0;
    const ssize_t r = ::getrandom(out + got, n - got, 0);
    if (r < 0) {
      const int error = errno;
      if (error == EINTR) continue;
      if (error == ENOSYS) {
        fill_from_device(out + got, n - got);
        return;
      }
      entropy_failure(error);
    }
    if (r == 0 || static_cast<std::size_t>(r) > n - got) unexpected_read();
    got += static_cast<std::size_t>(r);
  }
}

// Membership of drawn values for the rejection method: open addressing over a
// power-of-two table; ~0 marks a free slot (never a value below `length`).
class SeenSet {
 public:
  SeenSet(std::vector<std::uint64_t>& table, std::size_t amount) : table_(table) {
    std::size_t size = 16;
    while (size < amount * 2)
      size *= 2;
    table_.assign(size, kFree);
    mask_ = size - 1;
  }

  // Adds v; false if it was there already.
  bool insert(std::uint64_t v) {
    std::size_t i = static_cast<std::size_t>((v * 0x9e3779b97f4a7c15ULL) >> 20) & mask_;
    for (;;) {
      if (table_[i] == v) return false;
      if (table_[i] == kFree) {
        table_[i] = v;
        return true;
      }
      i = (i + 1) & mask_;
    }
  }

 private:
  static constexpr std::uint64_t kFree = ~std::uint64_t{0};
  std::vector<std::uint64_t>& table_;
  std::size_t mask_ = 0;
};

}  // namespace

RandomSource RandomSource::from_entropy() {
  std::array<std::uint8_t, 32> seed{};
  fill_entropy(seed.data(), seed.size());
  return from_bytes(seed);
}

RandomSource RandomSource::from_bytes(const std::array<std::uint8_t, 32>& seed) {
  State s{};
  bool zero = true;
  for (std::size_t w = 0; w < 4; ++w) {
    std::uint64_t word = 0;
    for (std::size_t b = 0; b < 8; ++b)
      word |= std::uint64_t{seed[w * 8 + b]} << (8 * b);
    s[w] = word;
    zero = zero && word == 0;
  }
  return RandomSource(zero ? kZeroSeedState : s);
}

RandomSource RandomSource::from_seed(std::uint64_t seed) {
  std::array<std::uint8_t, 32> bytes{};
  std::uint64_t p = seed;
  for (std::size_t i = 0; i < 8; ++i) {
    // Advanced before each output, the output taken from the advanced value.
    p = p * 0x5851f42d4c957f2dULL + 0xa17654e46fbe17f3ULL;
    const auto x = static_cast<std::uint32_t>(((p >> 18) ^ p) >> 27);
    const auto r = static_cast<unsigned>(p >> 59);
    const std::uint32_t word = (x >> r) | (x << ((32 - r) & 31));
    for (std::size_t b = 0; b < 4; ++b)
      bytes[i * 4 + b] = static_cast<std::uint8_t>(word >> (8 * b));
  }
  return from_bytes(bytes);
}

RandomSource::SampleMethod RandomSource::sample_method(std::size_t length, std::size_t amount) {
  if (amount > length) {
    throw InternalError("`amount` of samples must be less than or equal to `length`");
  }
  if (length > 0xFFFFFFFFULL) return SampleMethod::kRejection64;
  if (amount == 0) return SampleMethod::kEmpty;
  // The thresholds compare in single precision, as they always have.
  const int j = length >= 500000 ? 1 : 0;
  const float amount_f = static_cast<float>(amount), length_f = static_cast<float>(length);
  if (amount <= 11) return SampleMethod::kFloydInsert;
  if (amount <= 162) {
    static constexpr float a[2] = {1.6f, 8.0f / 45.0f};
    static constexpr float b[2] = {10.0f, 70.0f / 9.0f};
    const float m4 = a[j] * amount_f;
    if (length_f < (m4 + b[j]) * amount_f) return SampleMethod::kInplace;
    return amount < 50 ? SampleMethod::kFloydInsert : SampleMethod::kFloydAppend;
  }
  static constexpr float c[2] = {270.0f, 330.0f / 9.0f};
  if (length_f < c[j] * amount_f) return SampleMethod::kInplace;
  return SampleMethod::kRejection32;
}

void RandomSource::sample(std::size_t length, std::size_t amount, std::size_t* out,
                          SampleWorkspace& work) {
  const auto length32 = static_cast<std::uint32_t>(length);
  const auto amount32 = static_cast<std::uint32_t>(amount);
  switch (sample_method(length, amount)) {
    case SampleMethod::kEmpty:
      return;
    case SampleMethod::kFloydInsert:
      return sample_floyd(length32, amount32, true, out);
    case SampleMethod::kFloydAppend:
      return sample_floyd(length32, amount32, false, out);
    case SampleMethod::kInplace:
      return sample_inplace(length32, amount32, out, work);
    case SampleMethod::kRejection32:
      return sample_rejection<std::uint32_t>(length, amount, out, work);
    case SampleMethod::kRejection64:
      return sample_rejection<std::uint64_t>(length, amount, out, work);
  }
}

std::vector<std::size_t> RandomSource::sample(std::size_t length, std::size_t amount) {
  sample_method(length, amount);  // the size check comes before any allocation
  std::vector<std::size_t> out(amount);
  SampleWorkspace work;
  sample(length, amount, out.data(), work);
  return out;
}

void RandomSource::sample_floyd(std::uint32_t length, std::uint32_t amount, bool insert,
                                std::size_t* out) {
  std::size_t n = 0;
  for (std::uint32_t j = length - amount; j < length; ++j) {
    const std::uint32_t t = gen_range_inclusive_u32(0, j);
    std::size_t pos = n;
    for (std::size_t i = 0; i < n; ++i) {
      if (out[i] == t) {
        pos = i;
        break;
      }
    }
    if (pos == n) {
      out[n++] = t;
    } else if (insert) {
      // j goes where t was found; the entries from there on move back.
      for (std::size_t i = n; i > pos; --i)
        out[i] = out[i - 1];
      out[pos] = j;
      ++n;
    } else {
      out[n++] = j;
    }
  }
  if (!insert) {
    for (std::uint32_t i = amount - 1; i >= 1; --i) {
      const std::uint32_t k = gen_range_inclusive_u32(0, i);
      std::swap(out[i], out[k]);
    }
  }
}

void RandomSource::sample_inplace(std::uint32_t length, std::uint32_t amount, std::size_t* out,
                                  SampleWorkspace& work) {
  std::vector<std::uint32_t>& perm = work.permutation;
  perm.resize(length);
  for (std::uint32_t i = 0; i < length; ++i)
    perm[i] = i;
  for (std::uint32_t i = 0; i < amount; ++i) {
    const std::uint32_t k = i + bounded_u32(length - i);
    std::swap(perm[i], perm[k]);
    out[i] = perm[i];
  }
}

template <class Word>
void RandomSource::sample_rejection(std::uint64_t length, std::size_t amount, std::size_t* out,
                                    SampleWorkspace& work) {
  // The exact rejection zone: the largest multiple of length, minus one.
  const Word range = static_cast<Word>(length);
  const Word zone = static_cast<Word>(~Word{0} - static_cast<Word>(Word{0} - range) % range);
  auto draw = [&]() -> Word {
    for (;;) {
      if constexpr (sizeof(Word) == 4) {
        const std::uint64_t m = static_cast<std::uint64_t>(next_u32()) * range;
        if (static_cast<Word>(m) <= zone) return static_cast<Word>(m >> 32);
      } else {
        const unsigned __int128 m = static_cast<unsigned __int128>(next_u64()) * range;
        if (static_cast<Word>(m) <= zone) return static_cast<Word>(m >> 64);
      }
    }
  };
  SeenSet seen(work.seen, amount);
  for (std::size_t i = 0; i < amount; ++i) {
    Word v = draw();
    while (!seen.insert(v))
      v = draw();
    out[i] = static_cast<std::size_t>(v);
  }
}

}  // namespace velmora
