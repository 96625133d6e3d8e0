// The package codec side by side with zlib and LZ4 on the same 64 KiB blocks of the largest
// executables and shared libraries of this machine.
//
//   codec_bench [--corpus_mib=N] [benchmark flags]   (or KELVORA_BENCH_CORPUS_MIB=N)
//
// The corpus is the largest ELF files under /usr/lib, /usr/bin and /usr/libexec, each file once,
// whole files largest first up to N MiB (default 256), each cut into 64 KiB blocks. The last
// benchmark reports the ratios of the figures measured before it in the same run.
#include <benchmark/benchmark.h>
#include <lz4.h>
#include <sys/stat.h>
#include <time.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "updater/lz77.h"

namespace {

namespace fs = std::filesystem;
// The machine is shared: rates come from the thread's processor time, not the wall clock.
struct Clock {
  using duration = std::chrono::nanoseconds;
  using time_point = std::chrono::time_point<Clock, duration>;
  static time_point now() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return time_point(duration(int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec));
  }
};

constexpr int kBlock = 65536;

struct Block {
  std::vector<uint8_t> plain;
  std::vector<uint8_t> ours;  // empty: stored
  std::vector<uint8_t> zlib;
  std::vector<uint8_t> lz4;
};

struct Corpus {
  std::vector<std::string> files;
  std::vector<Block> blocks;
  size_t plainBytes = 0;
  bool oursReady = false, zlibReady = false, lz4Ready = false;  // a decoder alone compresses first
};

// Figures for the closing ratios, filled by the benchmarks that measure them.
struct Figures {
  double oursDecodeMBps = 0, zlibInflateMBps = 0;
  double oursCompressMBps = 0, zlibCompressMBps = 0;
  size_t oursPackageBytes = 0, lz4Bytes = 0, zlibBytes = 0;
};

size_t g_capBytes = size_t(256) << 20;
Figures g_figures;

bool isElf(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  char magic[4] = {};
  in.read(magic, 4);
  return in && std::memcmp(magic,
                           "\x7f"
                           "ELF",
                           4) == 0;
}

Corpus& corpus() {
  static Corpus c = [] {
    Corpus c;
    struct Candidate {
      uintmax_t size;
      fs::path path;
    };
    std::vector<Candidate> found;
    std::set<std::pair<dev_t, ino_t>> seen;
    for (const char* root : {"/usr/lib", "/usr/bin", "/usr/libexec"}) {
      std::error_code ec;
      fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec);
      for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        std::error_code sec;
        if (!it->is_regular_file(sec) || it->is_symlink(sec)) continue;
        const uintmax_t size = it->file_size(sec);
        if (sec || size <= (1u << 20)) continue;
        struct stat st;
        if (::stat(it->path().c_str(), &st) != 0) continue;
        if (!seen.insert({st.st_dev, st.st_ino}).second) continue;
        found.push_back({size, it->path()});
      }
    }
    std::sort(found.begin(), found.end(),
              [](const Candidate& a, const Candidate& b) { return a.size > b.size; });
    size_t total = 0;
    for (const Candidate& f : found) {
      if (total + f.size > g_capBytes || !isElf(f.path)) continue;
      std::ifstream in(f.path, std::ios::binary);
      std::vector<uint8_t> data(f.size);
      if (!in.read(reinterpret_cast<char*>(data.data()), std::streamsize(f.size))) continue;
      for (size_t pos = 0; pos < data.size(); pos += kBlock) {
        const size_t n = std::min<size_t>(kBlock, data.size() - pos);
        c.blocks.push_back(
            {std::vector<uint8_t>(data.begin() + long(pos), data.begin() + long(pos + n)),
             {},
             {},
             {}});
      }
      total += f.size;
      c.files.push_back(f.path.string());
    }
    c.plainBytes = total;
    std::fprintf(stderr, "corpus: %zu files, %.1f MiB, %zu blocks\n", c.files.size(),
                 double(total) / (1 << 20), c.blocks.size());
    for (const auto& f : c.files) std::fprintf(stderr, "  %s\n", f.c_str());
    return c;
  }();
  return c;
}

double megabytesPerSecond(size_t bytes, Clock::duration elapsed) {
  return double(bytes) / 1e6 / std::chrono::duration<double>(elapsed).count();
}

void finish(benchmark::State& state, size_t bytesPerIteration, Clock::duration elapsed,
            double& rate) {
  state.SetBytesProcessed(int64_t(bytesPerIteration) * state.iterations());
  rate = megabytesPerSecond(bytesPerIteration * size_t(state.iterations()), elapsed);
  state.counters["MBps"] = rate;
}

// One pass of each compressor over the corpus; each keeps its blocks for the decoders and
// gives the compressed bytes (ours: the whole package, headers and stored blocks included).
size_t compressOurs(Corpus& c) {
  static auto codec = std::make_unique<lz77::CCompressLZ77>();
  static std::vector<uint8_t> scratch(kBlock);
  size_t packageBytes = 0;
  for (Block& b : c.blocks) {
    const int len = codec->Compress(scratch.data(), b.plain.data(), int(b.plain.size()));
    b.ours.assign(scratch.begin(), scratch.begin() + (len > 0 ? len : 0));
    packageBytes += 4 + (len > 0 ? size_t(len) : b.plain.size());
  }
  c.oursReady = true;
  return packageBytes;
}

size_t compressZlib(Corpus& c) {
  z_stream z{};
  deflateInit(&z, 6);
  std::vector<uint8_t> scratch(deflateBound(&z, kBlock));
  size_t bytes = 0;
  for (Block& b : c.blocks) {
    deflateReset(&z);
    z.next_in = b.plain.data();
    z.avail_in = uInt(b.plain.size());
    z.next_out = scratch.data();
    z.avail_out = uInt(scratch.size());
    if (deflate(&z, Z_FINISH) != Z_STREAM_END) std::abort();
    b.zlib.assign(scratch.begin(), scratch.begin() + long(z.total_out));
    bytes += z.total_out;
  }
  deflateEnd(&z);
  c.zlibReady = true;
  return bytes;
}

size_t compressLz4(Corpus& c) {
  std::vector<char> scratch(LZ4_compressBound(kBlock));
  size_t bytes = 0;
  for (Block& b : c.blocks) {
    const int len = LZ4_compress_default(reinterpret_cast<const char*>(b.plain.data()),
                                         scratch.data(), int(b.plain.size()), int(scratch.size()));
    b.lz4.assign(scratch.begin(), scratch.begin() + len);
    bytes += size_t(len);
  }
  c.lz4Ready = true;
  return bytes;
}

template <size_t (*compress)(Corpus&)>
void compressBenchmark(benchmark::State& state, double* rateOut, size_t* bytesOut) {
  Corpus& c = corpus();
  size_t bytes = 0;
  Clock::duration elapsed{};
  for (auto _ : state) {
    const auto start = Clock::now();
    bytes = compress(c);
    elapsed += Clock::now() - start;
  }
  double rate;
  finish(state, c.plainBytes, elapsed, rate);
  if (rateOut) *rateOut = rate;
  *bytesOut = bytes;
  state.counters["size_ratio"] = double(bytes) / double(c.plainBytes);
}

void BM_CompressKelvora(benchmark::State& state) {
  compressBenchmark<compressOurs>(state, &g_figures.oursCompressMBps, &g_figures.oursPackageBytes);
}
void BM_CompressZlib6(benchmark::State& state) {
  compressBenchmark<compressZlib>(state, &g_figures.zlibCompressMBps, &g_figures.zlibBytes);
}
void BM_CompressLz4(benchmark::State& state) {
  compressBenchmark<compressLz4>(state, nullptr, &g_figures.lz4Bytes);
}

// Unpacking as the installer does it: each block into one 64 KiB buffer, stored blocks copied.
void BM_DecompressKelvora(benchmark::State& state) {
  Corpus& c = corpus();
  if (!c.oursReady) compressOurs(c);
  auto codec = std::make_unique<lz77::CCompressLZ77>();
  std::vector<uint8_t> out(kBlock);
  Clock::duration elapsed{};
  for (auto _ : state) {
    const auto start = Clock::now();
    for (const Block& b : c.blocks) {
      const int n = int(b.plain.size());
      if (b.ours.empty()) {
        std::memcpy(out.data(), b.plain.data(), size_t(n));
      } else if (!codec->Decompress(out.data(), n, b.ours.data(), int(b.ours.size()))) {
        state.SkipWithError("Decompress failed");
      }
      benchmark::DoNotOptimize(out.data());
    }
    elapsed += Clock::now() - start;
  }
  double rate;
  finish(state, c.plainBytes, elapsed, rate);
  g_figures.oursDecodeMBps = rate;
}

void BM_InflateZlib(benchmark::State& state) {
  Corpus& c = corpus();
  if (!c.zlibReady) compressZlib(c);
  z_stream z{};
  inflateInit(&z);
  std::vector<uint8_t> out(kBlock);
  Clock::duration elapsed{};
  for (auto _ : state) {
    const auto start = Clock::now();
    for (const Block& b : c.blocks) {
      inflateReset(&z);
      z.next_in = const_cast<uint8_t*>(b.zlib.data());
      z.avail_in = uInt(b.zlib.size());
      z.next_out = out.data();
      z.avail_out = uInt(out.size());
      if (inflate(&z, Z_FINISH) != Z_STREAM_END) state.SkipWithError("inflate failed");
      benchmark::DoNotOptimize(out.data());
    }
    elapsed += Clock::now() - start;
  }
  inflateEnd(&z);
  double rate;
  finish(state, c.plainBytes, elapsed, rate);
  g_figures.zlibInflateMBps = rate;
}

void BM_DecompressLz4(benchmark::State& state) {
  Corpus& c = corpus();
  if (!c.lz4Ready) compressLz4(c);
  std::vector<char> out(kBlock);
  Clock::duration elapsed{};
  for (auto _ : state) {
    const auto start = Clock::now();
    for (const Block& b : c.blocks) {
      const int n = LZ4_decompress_safe(reinterpret_cast<const char*>(b.lz4.data()), out.data(),
                                        int(b.lz4.size()), kBlock);
      if (n != int(b.plain.size())) state.SkipWithError("LZ4 decompress failed");
      benchmark::DoNotOptimize(out.data());
    }
    elapsed += Clock::now() - start;
  }
  double rate;
  finish(state, c.plainBytes, elapsed, rate);
}

// Targets: decode >= 2.0x zlib inflate, package <= 0.88x LZ4, compress >= 1.0x zlib level 6.
void BM_Ratios(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(g_figures);
  const Figures& f = g_figures;
  state.counters["decode_vs_zlib"] = f.oursDecodeMBps / f.zlibInflateMBps;
  state.counters["size_vs_lz4"] = double(f.oursPackageBytes) / double(f.lz4Bytes);
  state.counters["size_vs_zlib6"] = double(f.oursPackageBytes) / double(f.zlibBytes);
  state.counters["compress_vs_zlib6"] = f.oursCompressMBps / f.zlibCompressMBps;
}

// The compressors run first: they also produce the blocks the decoders read.
BENCHMARK(BM_CompressKelvora)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CompressZlib6)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CompressLz4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecompressKelvora)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InflateZlib)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecompressLz4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Ratios)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  if (const char* env = std::getenv("KELVORA_BENCH_CORPUS_MIB")) {
    g_capBytes = size_t(std::strtoull(env, nullptr, 10)) << 20;
  }
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--corpus_mib=", 13) == 0) {
      g_capBytes = size_t(std::strtoull(argv[i] + 13, nullptr, 10)) << 20;
    } else {
      rest.push_back(argv[i]);
    }
  }
  int restCount = int(rest.size());
  benchmark::Initialize(&restCount, rest.data());
  if (benchmark::ReportUnrecognizedArguments(restCount, rest.data())) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
