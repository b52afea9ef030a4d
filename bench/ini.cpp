// Ini parsing throughput: a configuration-like text of mixed line forms, from memory and
// from a mapped file.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include "ktu/ini/ini_parser.hpp"

namespace {

std::string make_text(int sections) {
  std::string text = "# generated\n\n";
  for (int s = 0; s < sections; ++s) {
    text += fmt::format("[section{}] ; comment\n", s);
    text += fmt::format("port = {}\n", 8000 + s);
    text += "name = \"quoted \\x41 value\\t with escapes\"\n";
    text += "enabled = yes\n";
    text += "path = /var/lib/kelto/some/raw/value\n";
    text += "big = 1_000_000\n";
    text += "; a comment line\n";
    text += "\n";
  }
  return text;
}

void run(benchmark::State& state, bool from_file) {
  const std::string text = make_text(static_cast<int>(state.range(0)));
  char path[] = "/tmp/bench-ini-XXXXXX";
  const int fd = ::mkstemp(path);
  if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    state.SkipWithError("cannot write the temporary file");
    return;
  }
  ::close(fd);
  std::size_t items = 0;
  const ktu::ini::ItemCallback on_item = [&items](const ktu::ini::Item& item) {
    items += item.value.size() > 0;
  };
  const ktu::ini::ErrorCallback on_error = [](ktu::ini::ErrorCode, std::string, std::string) {
    std::abort();
  };
  for (auto _ : state) {
    const bool ok = from_file ? ktu::ini::parse_file(path, on_item, on_error, 15)
                              : ktu::ini::parse_string(text, on_item, on_error, 15);
    benchmark::DoNotOptimize(ok);
  }
  ::unlink(path);
  benchmark::DoNotOptimize(items);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
  state.counters["lines/s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * 8.0 * static_cast<double>(state.range(0)),
      benchmark::Counter::kIsRate);
}

void BM_IniParseString(benchmark::State& state) { run(state, false); }
void BM_IniParseFile(benchmark::State& state) { run(state, true); }

BENCHMARK(BM_IniParseString)->Arg(1)->Arg(1000);
BENCHMARK(BM_IniParseFile)->Arg(1)->Arg(1000);

}  // namespace

BENCHMARK_MAIN();
