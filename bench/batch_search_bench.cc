// Batched search micro-benchmark: 1,000,000 records (or argv[1]) of 768 dimensions (random bits),
// 3 traits, 256 queries, k = 10, oversample 3. Prints ns per (query, record) pair and
// queries/s on one and two threads, one query on one and two threads against a plain read of
// the signatures on as many (the memory bound), a 0.5%-selective
// shared filter on one thread, and this processor's bit-count throughput measured with
// register-only loops. Times are both wall-clock and the calling thread's CPU time (the
// latter is unaffected by other processes taking the core). Build after the C++ tests:
//   g++ -O2 -std=c++20 -ffp-contract=off -Isrc bench/batch_search_bench.cc \
//       build/cpp/libkorvel_core.a -lpthread -o build/batch_search_bench
// `python -m bench --engine` builds and runs it for the compute bound.
#include <immintrin.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "categorical/plane_packing.h"
#include "common/little_endian.h"
#include "query/batch_query.h"
#include "simd/kernel_table.h"

using namespace korvel;

namespace {

double wall_now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

double cpu_now() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

std::string write_index(uint64_t n, uint16_t dim) {
  const uint16_t traits = 3;
  const uint8_t width = 8;
  const Layout layout = compute_layout(n, traits, width, dim);
  std::vector<uint8_t> image(layout.total_size);
  encode_header({kFormatVersion, n, traits, dim, width}, image.data());
  std::mt19937_64 rng(1);
  std::vector<uint64_t> block(size_t{traits} * width);
  for (uint64_t b = 0; b < layout.blocks; ++b) {
    std::fill(block.begin(), block.end(), 0);
    for (unsigned j = 0; j < 64 && 64 * b + j < n; ++j) {
      pack_code(block.data(), 0, width, static_cast<uint16_t>(rng() % 200), j);  // 0.5% each
      pack_code(block.data(), 1, width, static_cast<uint16_t>(rng() % 10), j);
      pack_code(block.data(), 2, width, static_cast<uint16_t>(rng() % 3), j);
    }
    for (size_t i = 0; i < block.size(); ++i) {
      store_u64(&image[kHeaderSize + (b * block.size() + i) * 8], block[i]);
    }
  }
  for (uint64_t i = layout.signature_start; i < layout.offsets_start; i += 8) {
    const uint64_t word = rng();
    std::memcpy(&image[i], &word, std::min<uint64_t>(8, layout.offsets_start - i));
  }
  for (uint64_t r = 0; r < n; ++r)
    store_u64(&image[layout.offsets_start + 8 * r], kNoExternalOffset);
  const std::string path = "/tmp/korvel_batch_bench_" + std::to_string(getpid()) + ".korvix";
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()),
             static_cast<std::streamsize>(image.size()));
  return path;
}

struct Timing {
  double wall, cpu;
};

Timing run(const IndexReader& reader, const BatchRequest& request, ThreadPool& pool, int reps) {
  Timing best{1e30, 1e30};
  for (int i = 0; i < reps; ++i) {
    const double w = wall_now(), c = cpu_now();
    auto result = execute_batch(reader, request, pool);
    const Timing t{wall_now() - w, cpu_now() - c};
    if (!result) std::abort();
    best.wall = std::min(best.wall, t.wall);
    best.cpu = std::min(best.cpu, t.cpu);
  }
  return best;
}

// One plain pass over `bytes` bytes: 64-bit sums of 32-byte loads, four chains.
__attribute__((target("avx2"), noinline)) uint64_t read_pass(const uint8_t* p, size_t bytes) {
  __m256i a = _mm256_setzero_si256(), b = a, c = a, d = a;
  size_t i = 0;
  for (; i + 128 <= bytes; i += 128) {
    a = _mm256_add_epi64(a, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i)));
    b = _mm256_add_epi64(b, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 32)));
    c = _mm256_add_epi64(c, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 64)));
    d = _mm256_add_epi64(d, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 96)));
  }
  a = _mm256_add_epi64(_mm256_add_epi64(a, b), _mm256_add_epi64(c, d));
  uint64_t sum = static_cast<uint64_t>(_mm256_extract_epi64(a, 0));
  for (; i < bytes; ++i) sum += p[i];
  return sum;
}

// Register-only loops: eight independent chains, so only throughput limits them.
__attribute__((noinline)) uint64_t popcnt_loop(uint64_t n) {
  uint64_t a = 1, b = 2, c = 3, d = 4, e = 5, f = 6, g = 7, h = 8;
  for (uint64_t i = 0; i < n; ++i) {
    __asm__ volatile(
        "popcnt %0,%0\n\tpopcnt %1,%1\n\tpopcnt %2,%2\n\tpopcnt %3,%3\n\t"
        "popcnt %4,%4\n\tpopcnt %5,%5\n\tpopcnt %6,%6\n\tpopcnt %7,%7"
        : "+r"(a), "+r"(b), "+r"(c), "+r"(d), "+r"(e), "+r"(f), "+r"(g), "+r"(h));
  }
  return a + b + c + d + e + f + g + h;
}

__attribute__((target("avx2"), noinline)) uint64_t pshufb_loop(uint64_t n) {
  __m256i t = _mm256_set1_epi8(3), a0 = _mm256_set1_epi8(1), a1 = a0, a2 = a0, a3 = a0, a4 = a0,
          a5 = a0, a6 = a0, a7 = a0;
  for (uint64_t i = 0; i < n; ++i) {
    __asm__ volatile(
        "vpshufb %8,%0,%0\n\tvpshufb %8,%1,%1\n\tvpshufb %8,%2,%2\n\tvpshufb %8,%3,%3\n\t"
        "vpshufb %8,%4,%4\n\tvpshufb %8,%5,%5\n\tvpshufb %8,%6,%6\n\tvpshufb %8,%7,%7"
        : "+x"(a0), "+x"(a1), "+x"(a2), "+x"(a3), "+x"(a4), "+x"(a5), "+x"(a6), "+x"(a7)
        : "x"(t));
  }
  a0 = _mm256_add_epi8(_mm256_add_epi8(_mm256_add_epi8(a0, a1), _mm256_add_epi8(a2, a3)),
                       _mm256_add_epi8(_mm256_add_epi8(a4, a5), _mm256_add_epi8(a6, a7)));
  return static_cast<uint64_t>(_mm256_extract_epi64(a0, 0));
}

__attribute__((target("avx512f,avx512vpopcntdq"), noinline)) uint64_t vpopcntq_loop(uint64_t n) {
  __m512i a0 = _mm512_set1_epi64(1), a1 = a0, a2 = a0, a3 = a0, a4 = a0, a5 = a0, a6 = a0, a7 = a0;
  for (uint64_t i = 0; i < n; ++i) {
    __asm__ volatile(
        "vpopcntq %0,%0\n\tvpopcntq %1,%1\n\tvpopcntq %2,%2\n\tvpopcntq %3,%3\n\t"
        "vpopcntq %4,%4\n\tvpopcntq %5,%5\n\tvpopcntq %6,%6\n\tvpopcntq %7,%7"
        : "+v"(a0), "+v"(a1), "+v"(a2), "+v"(a3), "+v"(a4), "+v"(a5), "+v"(a6), "+v"(a7));
  }
  return static_cast<uint64_t>(_mm512_reduce_add_epi64(_mm512_add_epi64(a0, a7)));
}

__attribute__((noinline)) uint64_t add_chain(uint64_t n) {
  uint64_t x = 0;
  for (uint64_t i = 0; i < n; ++i) {
    __asm__ volatile("add $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\tadd $1, %0" : "+r"(x));
  }
  return x;
}

void compute_bound() {
  const uint64_t iters = 100'000'000;
  double c = cpu_now();
  uint64_t sink = add_chain(iters);
  const double ghz = 4.0 * double(iters) / (cpu_now() - c) / 1e9;
  std::printf("clock (dependent add chain, thread CPU time): %.2f GHz\n", ghz);
  c = cpu_now();
  sink += popcnt_loop(iters / 4);
  const double popcnt_bits_ns = 8.0 * 64 * double(iters / 4) / ((cpu_now() - c) * 1e9);
  c = cpu_now();
  sink += pshufb_loop(iters / 4);
  // One 32-byte shuffle looks up 32 four-bit halves: 128 bits counted.
  const double pshufb_bits_ns = 8.0 * 128 * double(iters / 4) / ((cpu_now() - c) * 1e9);
  std::printf("register-only POPCNT r64: %.0f bits/ns -> %.3f ns per 768-bit pair\n",
              popcnt_bits_ns, 768 / popcnt_bits_ns);
  std::printf("register-only VPSHUFB ymm (4-bit lookups): %.0f bits/ns -> %.3f ns per pair\n",
              pshufb_bits_ns, 768 / pshufb_bits_ns);
  if (instruction_set_usable(InstructionSet::kAvx512)) {
    c = cpu_now();
    sink += vpopcntq_loop(iters / 4);
    const double v_bits_ns = 8.0 * 512 * double(iters / 4) / ((cpu_now() - c) * 1e9);
    std::printf("register-only VPOPCNTQ zmm: %.0f bits/ns -> %.3f ns per pair\n", v_bits_ns,
                768 / v_bits_ns);
  } else {
    std::printf("VPOPCNTQ: not available on this processor\n");
  }
  if (sink == 42) std::printf(" ");
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1'000'000;
  if (n == 0) return 2;
  const uint16_t dim = 768;
  const size_t nq = 256;
  std::printf("block kernel: %s\n", kernels().hamming_block->name);
  compute_bound();
  const std::string path = write_index(n, dim);
  auto opened = IndexReader::open(path);
  unlink(path.c_str());
  if (!opened) return 1;
  const IndexReader& reader = *opened;
  std::mt19937 rng(2);
  std::normal_distribution<float> noise(0.0f, 1.0f);
  std::vector<float> vectors(nq * dim);
  for (float& x : vectors) x = noise(rng);
  ThreadPool pool(2);

  BatchRequest request;
  request.query_count = nq;
  request.vectors = vectors;
  request.top_k = 10;
  request.oversample = 3;
  for (size_t threads : {1, 2}) {
    request.threads = threads;
    const Timing t = run(reader, request, pool, 3);
    std::printf(
        "%zu queries, %zu thread(s): wall %.1f ms = %.0f q/s, %.3f ns/pair; caller CPU %.1f ms "
        "= %.3f ns/pair\n",
        nq, threads, t.wall * 1e3, double(nq) / t.wall, t.wall * 1e9 / (double(nq) * double(n)),
        t.cpu * 1e3, t.cpu * 1e9 / (double(nq) * double(n)));
  }
  // One query on one and two threads, taking turns with a plain pass over the same signature
  // bytes on as many threads of the same pool: the memory bound of a scan that reads each
  // record once.
  request.query_count = 1;
  request.vectors = std::span<const float>(vectors).first(dim);
  const uint8_t* sigs = reader.signature_ptr(0);
  const size_t sig_bytes = size_t(n) * ((dim + 7) / 8);
  Timing one[2] = {{1e30, 1e30}, {1e30, 1e30}}, pass[2] = {{1e30, 1e30}, {1e30, 1e30}};
  std::atomic<uint64_t> sink{0};
  for (int rep = 0; rep < 10; ++rep) {
    for (size_t threads : {1, 2}) {
      request.threads = threads;
      const Timing t = run(reader, request, pool, 1);
      one[threads - 1] = {std::min(one[threads - 1].wall, t.wall),
                          std::min(one[threads - 1].cpu, t.cpu)};
      const double w = wall_now(), c = cpu_now();
      pool.parallel_for(threads, threads, [&](size_t part) {
        const size_t begin = sig_bytes * part / threads / 64 * 64;
        const size_t end = part + 1 == threads ? sig_bytes : sig_bytes * (part + 1) / threads / 64 * 64;
        sink += read_pass(sigs + begin, end - begin);
      });
      pass[threads - 1] = {std::min(pass[threads - 1].wall, wall_now() - w),
                           std::min(pass[threads - 1].cpu, cpu_now() - c)};
    }
  }
  for (size_t threads : {1, 2}) {
    std::printf("1 query, %zu thread(s): wall %.2f ms, caller CPU %.2f ms\n", threads,
                one[threads - 1].wall * 1e3, one[threads - 1].cpu * 1e3);
  }
  for (size_t threads : {1, 2}) {
    std::printf("plain read of the %.0f MB of signatures, %zu thread(s): wall %.2f ms = %.1f GB/s\n",
                double(sig_bytes) / 1e6, threads, pass[threads - 1].wall * 1e3,
                double(sig_bytes) / pass[threads - 1].wall / 1e9);
  }
  if (sink.load() == 42) std::printf(" ");
  const FilterExpr filter{EqNode{0, 17}};
  const FilterExpr* shared[] = {&filter};
  request.query_count = nq;
  request.vectors = vectors;
  request.filters = shared;
  request.threads = 1;
  const Timing t = run(reader, request, pool, 5);
  std::printf("%zu queries, 0.5%% shared filter, 1 thread: wall %.2f ms = %.0f q/s, CPU %.0f q/s\n",
              nq, t.wall * 1e3, double(nq) / t.wall, double(nq) / t.cpu);
  return 0;
}
