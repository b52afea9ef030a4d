// Cost of a log statement: refused by level (must stay one atomic load), and written as a
// plain line to a descriptor sink on /dev/null (formatting plus one write).
#include <fcntl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "ktu/log/log.hpp"
#include "ktu/log/sinks.hpp"

namespace {

using ktu::log::Level;

struct DevNullSink {
  DevNullSink() : fd(::open("/dev/null", O_WRONLY | O_CLOEXEC)) {
    sink = ktu::log::create_fd_sink(fd);
    ktu::log::get_global_configuration().add_sink(sink, Level::INFO);
  }
  ~DevNullSink() {
    ktu::log::get_global_configuration().remove_sink(sink);
    ::close(fd);
  }
  int fd;
  std::shared_ptr<ktu::log::FormattableLogSink> sink;
};

void BM_DisabledStatement(benchmark::State& state) {
  DevNullSink sink;
  int value = 42;
  for (auto _ : state) {
    KTU_LOG(DEBUG, "Session", "[{:x}] read {} bytes", reinterpret_cast<std::uintptr_t>(&value), value);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_DisabledStatement);

void BM_EnabledStatementPlainToDevNull(benchmark::State& state) {
  DevNullSink sink;
  int value = 42;
  for (auto _ : state) {
    KTU_LOG(INFO, "Session", "[{:x}] read {} bytes", reinterpret_cast<std::uintptr_t>(&value), value);
  }
}
BENCHMARK(BM_EnabledStatementPlainToDevNull);

void BM_EnabledPrintfStatementPlainToDevNull(benchmark::State& state) {
  DevNullSink sink;
  for (auto _ : state) {
    errno = ENOENT;
    KTU_LOGP(WARNING, "util", "open %s: %m", "/var/lib/kelto/some/file");
  }
}
BENCHMARK(BM_EnabledPrintfStatementPlainToDevNull);

}  // namespace

BENCHMARK_MAIN();
