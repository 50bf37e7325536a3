// Speed of the numerical library's functions on the paths the estimation
// code takes: normal probabilities and quantiles, ln Γ, the incomplete gamma
// function, chi-square quantiles of exact Poisson limits and Poisson tails.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>

#include "quilvar/numeric/chi_square_quantile.hpp"
#include "quilvar/numeric/incomplete_gamma.hpp"
#include "quilvar/numeric/log_gamma.hpp"
#include "quilvar/numeric/normal.hpp"
#include "quilvar/numeric/poisson_dist.hpp"
#include "quilvar/numeric/signal.hpp"

namespace quilvar::numeric {

// No host here: a signal simply lets the computation continue.
void raise_floating_signal(std::uint32_t) {}

namespace {

// Arguments spread over the approximation regions of each function.
constexpr std::array<double, 8> kNormalArguments = {-30.0, -6.0, -2.5, -0.3, 0.2, 1.96, 4.5, 9.0};
constexpr std::array<double, 8> kProbabilities = {1e-20, 1e-9, 0.001, 0.025, 0.3, 0.6, 0.975, 0.9999};
constexpr std::array<double, 8> kGammaArguments = {1e-5, 0.4, 1.3, 1.9, 7.5, 14.2, 60.0, 3e5};

void BM_NormalCdf(benchmark::State& state) {
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(normal_cdf(kNormalArguments[i++ % kNormalArguments.size()]));
  }
}
BENCHMARK(BM_NormalCdf);

void BM_NormalQuantile(benchmark::State& state) {
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(normal_quantile(kProbabilities[i++ % kProbabilities.size()]));
  }
}
BENCHMARK(BM_NormalQuantile);

// The Newton refinement below p = 1e-16 alone.
void BM_NormalQuantileFarTail(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(normal_quantile(1e-20));
  }
}
BENCHMARK(BM_NormalQuantileFarTail);

void BM_LogGamma(benchmark::State& state) {
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(log_gamma(kGammaArguments[i++ % kGammaArguments.size()]));
  }
}
BENCHMARK(BM_LogGamma);

// P(a, x) at x = a·ratio/4: series (ratio 2, 4) and continued fraction (ratio 8).
void BM_IncompleteGamma(benchmark::State& state) {
  const double a = static_cast<double>(state.range(0));
  const double x = a * static_cast<double>(state.range(1)) / 4.0;
  double lower = 0.0;
  double upper = 0.0;
  double density = 0.0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(incomplete_gamma(x, a, lower, upper, density));
  }
}
BENCHMARK(BM_IncompleteGamma)->ArgsProduct({{1, 10, 100, 10000}, {2, 4, 8}});

// Exact Poisson limits for k events: lower limit from df = 2k at 0.025,
// upper from df = 2(k + 1) at 0.975. Arguments: df and the probability in per mille.
void BM_ChiSquareQuantile(benchmark::State& state) {
  const double df = static_cast<double>(state.range(0));
  const double p = static_cast<double>(state.range(1)) / 1000.0;
  double x = 0.0;
  int status = 0;
  for (auto _ : state) {
    status = chi_square_quantile(p, df, x);
    benchmark::DoNotOptimize(x);
  }
  state.counters["failed"] = status;
}
BENCHMARK(BM_ChiSquareQuantile)
    ->ArgsProduct({{2, 4, 6, 8, 10, 12, 20000, 20002, 2000000, 2000002}, {25, 975}});

// The fall-back, which callers use where the primary routine fails (large df at p ≤ 0.5).
void BM_ChiSquareQuantileFallback(benchmark::State& state) {
  const double df = static_cast<double>(state.range(0));
  const double p = static_cast<double>(state.range(1)) / 1000.0;
  double x = 0.0;
  int status = 0;
  for (auto _ : state) {
    status = chi_square_quantile_fallback(p, df, x);
    benchmark::DoNotOptimize(x);
  }
  state.counters["failed"] = status;
}
BENCHMARK(BM_ChiSquareQuantileFallback)->ArgsProduct({{2, 12, 20000, 2000000}, {25, 975}});

// ln P(X ≤ k) and ln P(X > k) at the estimation's tolerance 1e-5; mean = k·ratio/4.
void BM_PoissonTailLogs(benchmark::State& state) {
  const double k = static_cast<double>(state.range(0));
  const double mean = (k + 0.5) * static_cast<double>(state.range(1)) / 4.0;
  double lower = 0.0;
  double upper = 0.0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(poisson_tail_logs(mean, k, 1e-5, lower, upper));
  }
}
BENCHMARK(BM_PoissonTailLogs)->ArgsProduct({{0, 2, 10, 200, 10000}, {2, 4, 8}});

}  // namespace
}  // namespace quilvar::numeric
