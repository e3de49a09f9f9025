// Speed of the signature primitives and of the image digest walks, timed inside the process.
// Prints one JSON object:
//   signcheck_bench.exe FILE [SMALL_FILE]
// FILE is read in 32 KiB chunks, as the digest walks read an image. For the walk figures FILE is
// a PE image with a trailing block at its end (run_bench.sh makes one), so that every walk
// covers the whole file; SMALL_FILE, a small image of the same kind, shows that the peak memory
// of a walk does not grow with the file. MBps counts 10^6 bytes.
#include <windows.h>

#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <vector>

#include "signcheck/image.h"
#include "signcheck/keys.h"
#include "signcheck/md5.h"
#include "signcheck/rsa.h"
#include "signcheck/sha256.h"
#include "signcheck/sha256_dispatch.h"

namespace {

constexpr DWORD READ_CHUNK_BYTES = 32768;  // the digest walk's buffer
constexpr double RSA_MIN_SECONDS = 0.5;
constexpr int RSA_MIN_OPERATIONS = 20;
constexpr double NO_FIGURE = -1;  // printed for a measurement that failed

class Stopwatch {
 public:
  Stopwatch() : start_(std::chrono::steady_clock::now()) {}
  double Seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  }

 private:
  std::chrono::steady_clock::time_point start_;
};

class FileHandle {
 public:
  explicit FileHandle(const wchar_t* path)
      : handle_(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr)) {}
  ~FileHandle() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

// Reads the whole file in 32 KiB chunks into `consume`; MB/s of the read plus the work.
template <typename CONSUME>
double StreamFile(const wchar_t* path, CONSUME consume) {
  FileHandle file(path);
  if (file.get() == INVALID_HANDLE_VALUE) return NO_FIGURE;
  std::vector<uint8_t> buffer(READ_CHUNK_BYTES);
  uint64_t total = 0;
  Stopwatch watch;
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file.get(), buffer.data(), READ_CHUNK_BYTES, &got, nullptr)) return NO_FIGURE;
    if (got == 0) break;
    consume(buffer.data(), uint32_t(got));
    total += got;
  }
  return double(total) / 1e6 / watch.Seconds();
}

double Sha256Throughput(const wchar_t* path) {
  SHA256CTX context;
  Sha256Init(&context);
  double mbps = StreamFile(path, [&](const uint8_t* d, uint32_t n) { Sha256Update(&context, d, n); });
  uint8_t digest[SHA256_DIGEST_SIZE];
  Sha256Final(digest, &context);
  return mbps;
}

double MeasureSha256(const wchar_t* path) {
  Sha256SelectImplementation(Sha256HardwareAvailable() ? SHA256IMPLEMENTATION::HARDWARE
                                                       : SHA256IMPLEMENTATION::PORTABLE);
  return Sha256Throughput(path);
}

double MeasureSha256Portable(const wchar_t* path) {
  Sha256SelectImplementation(SHA256IMPLEMENTATION::PORTABLE);
  double mbps = Sha256Throughput(path);
  Sha256SelectImplementation(Sha256HardwareAvailable() ? SHA256IMPLEMENTATION::HARDWARE
                                                       : SHA256IMPLEMENTATION::PORTABLE);
  return mbps;
}

double MeasureMd5(const wchar_t* path) {
  MD5CTX context;
  Md5Init(&context);
  double mbps = StreamFile(path, [&](const uint8_t* d, uint32_t n) { Md5Update(&context, d, n); });
  uint8_t digest[MD5_DIGEST_SIZE];
  Md5Final(digest, &context);
  return mbps;
}

// Mean microseconds of one public operation, repeated for at least half a second. The input's
// top byte is zero, so it is below the modulus and the whole exponentiation runs.
template <typename OPERATION>
double MicrosecondsPerOperation(OPERATION operation) {
  int operations = 0;
  Stopwatch watch;
  while (operations < RSA_MIN_OPERATIONS || watch.Seconds() < RSA_MIN_SECONDS) {
    operation();
    ++operations;
  }
  return watch.Seconds() * 1e6 / operations;
}

double MeasureRsa4096(const wchar_t*) {
  uint8_t input[RSA4096_BYTES];
  for (uint32_t i = 0; i < sizeof(input); ++i) input[i] = uint8_t(i * 7 + 1);
  input[0] = 0;
  return MicrosecondsPerOperation([&] {
    uint8_t output[RSA4096_BYTES];
    uint32_t length = sizeof(output);
    RsaPublicDecrypt4096(&BlockKey, input, output, &length);
  });
}

double MeasureRsa1024(const wchar_t*) {
  uint8_t input[RSA1024_BYTES];
  for (uint32_t i = 0; i < sizeof(input); ++i) input[i] = uint8_t(i * 7 + 1);
  input[0] = 0;
  return MicrosecondsPerOperation([&] {
    uint8_t output[RSA1024_BYTES];
    uint32_t length = sizeof(output);
    RsaPublicDecrypt1024(&EntryKey, input, sizeof(input), output, &length);
  });
}

// One opened image for the walks; the object is released and the handle closed on every path.
class OpenedImage {
 public:
  explicit OpenedImage(const wchar_t* path) : file_(path), image_(nullptr) {
    if (file_.get() != INVALID_HANDLE_VALUE) image_ = OpenImage(file_.get());
  }
  ~OpenedImage() { free(image_); }
  OpenedImage(const OpenedImage&) = delete;
  OpenedImage& operator=(const OpenedImage&) = delete;
  IMAGEOBJ* get() const { return image_; }
  uint64_t Size() const {
    LARGE_INTEGER size;
    return GetFileSizeEx(file_.get(), &size) ? uint64_t(size.QuadPart) : 0;
  }

 private:
  FileHandle file_;
  IMAGEOBJ* image_;
};

// MB/s of one walk over the whole file: the covered bytes are the file's size in each case.
template <typename WALK>
double WalkThroughput(const wchar_t* path, WALK walk) {
  OpenedImage image(path);
  if (image.get() == nullptr) return NO_FIGURE;
  Stopwatch watch;
  if (!walk(image.get(), image.Size())) return NO_FIGURE;
  return double(image.Size()) / 1e6 / watch.Seconds();
}

// The trailing block must end the file, so that its walk covers all of it.
int WalkTrailingBlock(IMAGEOBJ* image, uint64_t fileSize) {
  uint8_t block[TRAILING_BLOCK_SIZE];
  int found = 0;
  uint8_t digest[SHA256_DIGEST_SIZE];
  return LocateTrailingBlock(image, block, &found) && found &&
         image->info.trailingBlockEnd == fileSize && TrailingBlockDigest(image, digest);
}

// The own-entry MD5 with the image checksum in the same pass, over an empty attribute list.
int WalkCertEntry(IMAGEOBJ* image, uint64_t) {
  uint8_t digest[MD5_DIGEST_SIZE];
  int checksumMatches = 0;
  return CertEntryDigest(image, nullptr, 0, digest, &checksumMatches);
}

// The resource walk ends at the resource root; putting the root at the file's end makes the
// same walk cover the whole file.
int WalkResource(IMAGEOBJ* image, uint64_t fileSize) {
  uint8_t digest[MD5_DIGEST_SIZE];
  image->info.resourceRootOffset = uint32_t(fileSize);
  return fileSize <= UINT32_MAX && ResourceDigest(image, digest);
}

double MeasureSha256Walk(const wchar_t* path) { return WalkThroughput(path, WalkTrailingBlock); }
double MeasureMd5Walk(const wchar_t* path) { return WalkThroughput(path, WalkCertEntry); }
double MeasureResourceWalk(const wchar_t* path) { return WalkThroughput(path, WalkResource); }

// The process's peak working set in KiB after the three walks over one file.
double PeakWorkingSetAfterWalks(const wchar_t* path) {
  if (MeasureSha256Walk(path) == NO_FIGURE || MeasureMd5Walk(path) == NO_FIGURE ||
      MeasureResourceWalk(path) == NO_FIGURE) {
    return NO_FIGURE;
  }
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof counters;
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return NO_FIGURE;
  return double(counters.PeakWorkingSetSize) / 1024;
}

struct MEASUREMENT {
  const char* key;
  double (*measure)(const wchar_t* path);
};

// Printed in this order. A new figure is one more row.
const MEASUREMENT MEASUREMENTS[] = {
    {"sha256MBps", MeasureSha256},
    {"sha256PortableMBps", MeasureSha256Portable},
    {"md5MBps", MeasureMd5},
    {"sha256WalkMBps", MeasureSha256Walk},
    {"md5WalkMBps", MeasureMd5Walk},
    {"resourceWalkMBps", MeasureResourceWalk},
    {"rsa4096Us", MeasureRsa4096},
    {"rsa1024Us", MeasureRsa1024},
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2 && argc != 3) {
    fprintf(stderr, "usage: signcheck_bench.exe FILE [SMALL_FILE]\n");
    return 2;
  }
  bool failed = false;
  printf("{\"sha256Hardware\": %s", Sha256HardwareAvailable() ? "true" : "false");
  // The peak only grows: the small file goes first, before anything else has run.
  if (argc == 3) {
    const wchar_t* files[] = {argv[2], argv[1]};
    const char* keys[] = {"walkPeakWorkingSetSmallKiB", "walkPeakWorkingSetKiB"};
    for (int i = 0; i < 2; ++i) {
      double figure = PeakWorkingSetAfterWalks(files[i]);
      if (figure == NO_FIGURE) {
        fprintf(stderr, "signcheck_bench: %s failed on %ls\n", keys[i], files[i]);
        failed = true;
      }
      printf(", \"%s\": %.0f", keys[i], figure);
    }
  }
  for (const MEASUREMENT& m : MEASUREMENTS) {
    double figure = m.measure(argv[1]);
    if (figure == NO_FIGURE) {
      fprintf(stderr, "signcheck_bench: %s failed on %ls\n", m.key, argv[1]);
      failed = true;
    }
    printf(", \"%s\": %.1f", m.key, figure);
  }
  printf("}\n");
  return failed ? 1 : 0;
}
