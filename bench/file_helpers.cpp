// Throughput of the file, hex and JSON document helpers on real files in a temporary directory.
#include <fcntl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <nlohmann/json.hpp>
#include <string>

#include "ktu/json/json.hpp"
#include "ktu/util/file.hpp"
#include "ktu/util/hex.hpp"

namespace {

std::string bytes(size_t size) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>(i * 131);
  return s;
}

struct Dir {
  ktu::util::TmpDirHolder holder;
  Dir() { holder.create("kelto-bench"); }
  std::string file(const char* name) const { return holder.get_path() + "/" + name; }
};

void BM_CopyFile(benchmark::State& state) {
  Dir dir;
  const auto size = static_cast<size_t>(state.range(0));
  ktu::util::write_file_content(dir.file("src").c_str(), bytes(size), 0600);
  const int src = ::open(dir.file("src").c_str(), O_RDONLY);
  const int dst = ::open(dir.file("dst").c_str(), O_WRONLY | O_CREAT, 0600);
  for (auto _ : state) {
    ::lseek(src, 0, SEEK_SET);
    ::lseek(dst, 0, SEEK_SET);
    if (!ktu::util::copy_file(src, dst)) state.SkipWithError("copy failed");
  }
  ::close(src);
  ::close(dst);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}
BENCHMARK(BM_CopyFile)->Arg(64 << 10)->Arg(16 << 20);

// Includes the flush to disk before the rename, which dominates for small files.
void BM_CopyFileAtomic(benchmark::State& state) {
  Dir dir;
  const auto size = static_cast<size_t>(state.range(0));
  ktu::util::write_file_content(dir.file("src").c_str(), bytes(size), 0600);
  for (auto _ : state) {
    if (!ktu::util::copy_file_atomic(dir.file("src").c_str(), dir.file("dst").c_str(), 0644)) {
      state.SkipWithError("copy failed");
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}
BENCHMARK(BM_CopyFileAtomic)->Arg(4 << 10)->Arg(4 << 20)->UseRealTime();

void BM_StoreJsonAtomic(benchmark::State& state) {
  Dir dir;
  nlohmann::json doc;
  for (int i = 0; i < 100; ++i) doc["key" + std::to_string(i)] = {i, "value", true};
  for (auto _ : state) {
    if (!ktu::json::store_to_file_atomic(doc, dir.file("doc.json").c_str(), 2, 0644)) {
      state.SkipWithError("store failed");
    }
  }
}
BENCHMARK(BM_StoreJsonAtomic)->UseRealTime();

void BM_HexRoundTrip(benchmark::State& state) {
  const std::string data = bytes(4096);
  for (auto _ : state) {
    std::string hex = ktu::util::bin_str_to_hex(data);
    benchmark::DoNotOptimize(ktu::util::hex_to_bin_str(hex));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}
BENCHMARK(BM_HexRoundTrip);

}  // namespace

BENCHMARK_MAIN();
