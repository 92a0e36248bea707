// Benchmark of the base-100 decimals: addition, multiplication and division of operands with
// 16 digit pairs, text parsing and formatting, each against a baseline measured in the same
// run. The arithmetic baseline is GCC's std::decimal::decimal128 (libstdc++ <decimal/decimal>);
// it has no text conversion, so the text baseline is strtod / snprintf("%.15g") on doubles.
// Prints a table of ops per second and ratios (ours / baseline; above 1 means faster) at the end:
// each figure is the best of kRepetitions runs, in CPU time, since the machine is shared.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "ba/ba_dec.h"

#if defined(__has_include)
#if __has_include(<decimal/decimal>) && !defined(__clang__)
#include <decimal/decimal>
#define DEC_BENCH_D128 1
#endif
#endif

namespace {

constexpr int kOperands = 1024;  // operand pairs cycled through by every benchmark
constexpr unsigned kSeed = 4711;
constexpr int kRepetitions = 3;

// One operand: 16 random digit pairs (the first non-zero), exponent 1..8, and the same value
// as a decimal128 and as text.
struct operand {
  ba_decimal dec;
  std::string text;
  double dbl;
#ifdef DEC_BENCH_D128
  std::decimal::decimal128 d128;
#endif
};

operand make_operand(std::mt19937 &rng) {
  std::uniform_int_distribution<int> pair(0, 99), first(1, 99), exp(1, 8);
  operand o;
  memset(&o.dec, 0, sizeof o.dec);
  o.dec.exponent = static_cast<int16_t>(exp(rng));
  o.dec.positive = static_cast<int16_t>(rng() & 1);
  o.dec.ndigits = 16;
  for (int i = 0; i < 16; i++) o.dec.digits[i] = static_cast<uint8_t>(i == 0 ? first(rng) : pair(rng));
  char buf[64];
  ba_decfmt(&o.dec, buf, 60, -1, '.');
  o.text = buf;
  o.dbl = strtod(buf, nullptr);
#ifdef DEC_BENCH_D128
  // The 32 digits as two 16-digit halves, scaled by the fraction digits.
  long long hi = 0, lo = 0;
  for (int i = 0; i < 8; i++) hi = hi * 100 + o.dec.digits[i];
  for (int i = 8; i < 16; i++) lo = lo * 100 + o.dec.digits[i];
  std::decimal::decimal128 v = std::decimal::decimal128(hi) * std::decimal::decimal128(10000000000000000LL) +
                               std::decimal::decimal128(lo);
  for (int i = 0; i < 2 * (16 - o.dec.exponent); i++) v /= std::decimal::decimal128(10);
  o.d128 = o.dec.positive ? v : -v;
#endif
  return o;
}

const std::vector<operand> &operands() {
  static const std::vector<operand> ops = [] {
    std::mt19937 rng(kSeed);
    std::vector<operand> v;
    for (int i = 0; i < 2 * kOperands; i++) v.push_back(make_operand(rng));
    return v;
  }();
  return ops;
}

template <int (*Op)(const ba_decimal *, const ba_decimal *, ba_decimal *)>
void BM_Ours(benchmark::State &state) {
  const auto &ops = operands();
  ba_decimal r;
  int i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(Op(&ops[i].dec, &ops[i + kOperands].dec, &r));
    benchmark::DoNotOptimize(r);
    i = (i + 1) & (kOperands - 1);
  }
}

void BM_OursParse(benchmark::State &state) {
  const auto &ops = operands();
  ba_decimal r;
  int i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(ba_str2dec(ops[i].text.c_str(), 100, &r));
    benchmark::DoNotOptimize(r);
    i = (i + 1) & (kOperands - 1);
  }
}

void BM_OursFormat(benchmark::State &state) {
  const auto &ops = operands();
  char buf[64];
  int i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(ba_decfmt(&ops[i].dec, buf, 60, -1, '.'));
    benchmark::DoNotOptimize(buf);
    i = (i + 1) & (kOperands - 1);
  }
}

void BM_BaseParse(benchmark::State &state) {
  const auto &ops = operands();
  int i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(strtod(ops[i].text.c_str(), nullptr));
    i = (i + 1) & (kOperands - 1);
  }
}

void BM_BaseFormat(benchmark::State &state) {
  const auto &ops = operands();
  char buf[64];
  int i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(snprintf(buf, sizeof buf, "%.15g", ops[i].dbl));
    benchmark::DoNotOptimize(buf);
    i = (i + 1) & (kOperands - 1);
  }
}

BENCHMARK(BM_Ours<ba_decadd>)->Name("add/ours")->Repetitions(kRepetitions);
BENCHMARK(BM_Ours<ba_decmul>)->Name("mul/ours")->Repetitions(kRepetitions);
BENCHMARK(BM_Ours<ba_decdiv>)->Name("div/ours")->Repetitions(kRepetitions);
BENCHMARK(BM_OursParse)->Name("parse/ours")->Repetitions(kRepetitions);
BENCHMARK(BM_OursFormat)->Name("format/ours")->Repetitions(kRepetitions);
BENCHMARK(BM_BaseParse)->Name("parse/baseline")->Repetitions(kRepetitions);
BENCHMARK(BM_BaseFormat)->Name("format/baseline")->Repetitions(kRepetitions);

#ifdef DEC_BENCH_D128
template <int Kind>
void BM_D128(benchmark::State &state) {
  const auto &ops = operands();
  int i = 0;
  for (auto _ : state) {
    const auto &a = ops[i].d128, &b = ops[i + kOperands].d128;
    std::decimal::decimal128 r = Kind == 0 ? a + b : Kind == 1 ? a * b : a / b;
    benchmark::DoNotOptimize(r);
    i = (i + 1) & (kOperands - 1);
  }
}
BENCHMARK(BM_D128<0>)->Name("add/baseline")->Repetitions(kRepetitions);
BENCHMARK(BM_D128<1>)->Name("mul/baseline")->Repetitions(kRepetitions);
BENCHMARK(BM_D128<2>)->Name("div/baseline")->Repetitions(kRepetitions);
#endif

// Collects ops per second of every run beside the usual console output.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run &r : runs) {
      if (r.run_type != Run::RT_Iteration || r.cpu_accumulated_time <= 0) continue;
      std::string name = r.run_name.function_name;
      rate_[name] = std::max(rate_[name], r.iterations / r.cpu_accumulated_time);
    }
  }

  void PrintRatios() const {
    printf("\n%-8s %16s %16s %8s  baseline\n", "op", "ours ops/s", "baseline ops/s", "ratio");
    const char *names[] = {"add", "mul", "div", "parse", "format"};
    for (const char *n : names) {
      auto ours = rate_.find(std::string(n) + "/ours"), base = rate_.find(std::string(n) + "/baseline");
      const char *what = std::string(n) == "parse" ? "strtod" : std::string(n) == "format" ? "snprintf %.15g" : "decimal128";
      if (ours == rate_.end()) continue;
      if (base == rate_.end()) {
        printf("%-8s %16.0f %16s %8s  %s unavailable (needs g++ libstdc++ <decimal/decimal>)\n", n, ours->second, "-",
               "-", what);
        continue;
      }
      printf("%-8s %16.0f %16.0f %8.2f  %s\n", n, ours->second, base->second, ours->second / base->second, what);
    }
  }

 private:
  std::map<std::string, double> rate_;
};

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
