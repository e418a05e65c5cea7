// Time and memory of one binned fit: quantization, then growth.
//
//   cmake -S . -B build/bench -DQOR_BUILD_BENCH=ON -DQOR_BUILD_MODULE=OFF
//         -DCMAKE_BUILD_TYPE=Release
//   cmake --build build/bench --target binned_fit
//   build/bench/binned_fit [rows] [features] [depth] [threads] [max_bins] [repeats]
//
// Defaults: 10,000,000 x 20 doubles, depth 10, gini on two classes, 255 bins,
// 2 threads, 3 repetitions. Memory is the growth of the resident set's
// high-water mark (VmHWM, reset through /proc/self/clear_refs) over the
// resident size just before the fit, with X and y already in memory.

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/binned/binned_growth.hpp"

namespace {

std::uint64_t mix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// A standard normal from two hashed uniforms (Box-Muller).
double normal_at(std::uint64_t i) {
  const double u = (static_cast<double>(mix(2 * i) >> 11) + 0.5) * 0x1p-53;
  const double v = static_cast<double>(mix(2 * i + 1) >> 11) * 0x1p-53;
  return std::sqrt(-2 * std::log(u)) * std::cos(6.283185307179586 * v);
}

long status_kib(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::string key = std::string(field) + ":";
  while (std::getline(status, line)) {
    if (line.rfind(key, 0) == 0) return std::stol(line.substr(key.size()));
  }
  return -1;
}

void reset_peak() { std::ofstream("/proc/self/clear_refs") << "5"; }

// CPU seconds of every thread of the process so far: on a shared machine, what
// the fit costs apart from waiting for a core.
double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const auto arg = [&](int i, long fallback) { return argc > i ? std::atol(argv[i]) : fallback; };
  const auto rows = static_cast<std::int32_t>(arg(1, 10'000'000));
  const auto cols = static_cast<std::int32_t>(arg(2, 20));
  const auto depth = static_cast<std::int32_t>(arg(3, 10));
  const auto threads = static_cast<std::int32_t>(arg(4, 2));
  const auto max_bins = static_cast<std::int32_t>(arg(5, 255));
  const auto repeats = static_cast<int>(arg(6, 3));

  // Two classes decided by a few columns and noise; the other columns are noise.
  std::vector<double> x(static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols));
  std::vector<double> y(static_cast<std::size_t>(rows));
  {
    std::vector<std::jthread> pool;
    for (std::int32_t t = 0; t < threads; ++t) {
      pool.emplace_back([&, t] {
        for (std::int32_t r = t; r < rows; r += threads) {
          double score = 0.0;
          for (std::int32_t c = 0; c < cols; ++c) {
            const auto at = static_cast<std::size_t>(r) * static_cast<std::size_t>(cols) +
                            static_cast<std::size_t>(c);
            x[at] = normal_at(at);
            if (c < 4) score += x[at] * (c + 1);
          }
          score += 2 * normal_at(x.size() + static_cast<std::size_t>(r));
          y[static_cast<std::size_t>(r)] = score > 0 ? 1.0 : 0.0;
        }
      });
    }
  }
  const double x_mib = static_cast<double>(x.size() * sizeof(double)) / (1 << 20);

  qor::TreeParams params;
  params.criterion = qor::Criterion::Gini;
  params.n_classes = 2;
  params.max_depth = depth;
  params.n_threads = threads;
  qor::BinningParams binning;
  binning.max_bins = max_bins;
  const qor::FeatureMatrix X{x.data(), rows, cols, true};

  std::printf("%d rows x %d features (X %.0f MiB), depth %d, gini, %d bins, %d threads\n", rows,
              cols, x_mib, depth, max_bins, threads);
  std::vector<double> totals;
  for (int rep = 0; rep < repeats; ++rep) {
    const long before = status_kib("VmRSS");
    reset_peak();
    const auto start = std::chrono::steady_clock::now();
    const double cpu_start = cpu_seconds();
    double quantize_s = 0.0;
    double quantize_cpu = 0.0;
    std::size_t nodes = 0;
    {
      const qor::BinnedMatrix codes = qor::quantize(X, binning, threads);
      quantize_s = seconds_since(start);
      quantize_cpu = cpu_seconds() - cpu_start;
      const qor::BinnedFit fit = qor::grow_binned({&codes, y.data(), nullptr}, params);
      nodes = fit.tree.node_count();
    }
    const double total_s = seconds_since(start);
    const double total_cpu = cpu_seconds() - cpu_start;
    const double peak_mib = static_cast<double>(status_kib("VmHWM") - before) / 1024;
    totals.push_back(total_s);
    std::printf(
        "fit %.2f s (quantize %.2f s, grow %.2f s), cpu %.2f s (quantize %.2f s, grow "
        "%.2f s), %zu nodes, peak beyond X %.0f MiB = %.3f x X\n",
        total_s, quantize_s, total_s - quantize_s, total_cpu, quantize_cpu,
        total_cpu - quantize_cpu, nodes, peak_mib, peak_mib / x_mib);
  }
  std::sort(totals.begin(), totals.end());
  std::printf("median fit %.2f s\n", totals[totals.size() / 2]);
  return 0;
}
