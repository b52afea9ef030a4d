// Cost of a log statement: refused by level (must stay one atomic load), written as a plain
// or JSON line to a descriptor sink on /dev/null (formatting plus one write), and handed to an
// asynchronous sink (formatting, one copy and one short lock on the logging thread).
#include <fcntl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cerrno>
#include <cstdint>

#include "ktu/log/async_sink.hpp"
#include "ktu/log/formatter.hpp"
#include "ktu/log/log.hpp"
#include "ktu/log/sinks.hpp"

namespace {

using ktu::log::Level;

enum class Mode { PLAIN, JSON, ASYNC };

struct DevNullSink {
  explicit DevNullSink(Mode mode = Mode::PLAIN) : fd(::open("/dev/null", O_WRONLY | O_CLOEXEC)) {
    auto on_fd = ktu::log::create_fd_sink(fd);
    if (mode == Mode::JSON) on_fd->set_formatter(ktu::log::get_json_formatter());
    sink = on_fd;
    if (mode == Mode::ASYNC) sink = ktu::log::create_std_thread_async_sink(on_fd);
    ktu::log::get_global_configuration().add_sink(sink, Level::INFO);
  }
  ~DevNullSink() {
    ktu::log::get_global_configuration().remove_sink(sink);
    sink.reset();  // an asynchronous sink writes what is queued before the descriptor closes
    ::close(fd);
  }
  int fd;
  std::shared_ptr<ktu::log::LogSink> sink;
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

void BM_EnabledStatementJsonToDevNull(benchmark::State& state) {
  DevNullSink sink(Mode::JSON);
  int value = 42;
  for (auto _ : state) {
    KTU_LOG(INFO, "Session", "[{:x}] read {} bytes", reinterpret_cast<std::uintptr_t>(&value), value);
  }
}
BENCHMARK(BM_EnabledStatementJsonToDevNull);

// What the logging thread pays when the write happens on the sink's own thread.
void BM_EnabledStatementThroughAsyncSink(benchmark::State& state) {
  DevNullSink sink(Mode::ASYNC);
  int value = 42;
  for (auto _ : state) {
    KTU_LOG(INFO, "Session", "[{:x}] read {} bytes", reinterpret_cast<std::uintptr_t>(&value), value);
  }
  sink.sink->sync();
}
BENCHMARK(BM_EnabledStatementThroughAsyncSink);

}  // namespace

BENCHMARK_MAIN();
