// Cost of framing a scan request and of reading a progress message with one finding.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "engine.pb.h"
#include "msg.pb.h"
#include "proto/msg_wire.hpp"

namespace {

KtEngineScanRequest typical_request() {
  KtEngineScanRequest request;
  request.mutable_scan_params()->set_fd_index(0);
  request.mutable_scan_params()->set_filename("invoice-2026-12.pdf");
  request.mutable_scan_params()->set_caller_context(true);
  auto* config = request.mutable_configuration();
  config->set_full_files(false);
  config->set_pup(false);
  config->set_heuristics(80);
  config->set_archives(true);
  return request;
}

// Building the envelope, storing the request as its payload and framing it into a reused buffer.
void BM_FrameScanRequest(benchmark::State& state) {
  const KtEngineScanRequest request = typical_request();
  std::vector<std::uint8_t> buffer(4096);
  for (auto _ : state) {
    KtMsgBase envelope;
    envelope.set_type(KT_REQUEST);
    envelope.set_opcode(KT_REQ_ENGINE_SCAN);
    envelope.set_correlation_id("5f0c1a52-8d7e-4b8e-9a43-0d1c2b3a4f5e");
    envelope.set_fd_count(1);
    ktu::msg_wire::msg_store_payload(envelope, request);
    const std::size_t size = ktu::msg_wire::msg_wire_size(envelope);
    if (size > buffer.size()) {
      buffer.resize(size);
    }
    benchmark::DoNotOptimize(ktu::msg_wire::msg_wire_write(envelope, buffer.data()));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_FrameScanRequest);

// Unframing a progress envelope and parsing its payload, then taking the record out.
void BM_ParseProgressWithRecord(benchmark::State& state) {
  KtEngineScanProgress progress;
  auto* record = progress.mutable_record();
  record->set_path("/upload/archive.zip|>docs/report.docm|>word/vbaProject.bin");
  record->set_depth(2);
  record->set_virus("VBA:Downloader-ABC [Trj]");
  auto* detection = record->add_detections();
  detection->set_virus("VBA:Downloader-ABC [Trj]");
  detection->set_algo("sig");
  detection->set_severity_id(3);
  detection->set_type_id(12);
  KtMsgBase envelope;
  envelope.set_type(KT_PROGRESS);
  envelope.set_opcode(KT_REQ_ENGINE_SCAN);
  envelope.set_correlation_id("5f0c1a52-8d7e-4b8e-9a43-0d1c2b3a4f5e");
  ktu::msg_wire::msg_store_payload(envelope, progress);
  std::vector<std::uint8_t> wire(ktu::msg_wire::msg_wire_size(envelope));
  ktu::msg_wire::msg_wire_write(envelope, wire.data());

  for (auto _ : state) {
    KtMsgBase received;
    auto result = ktu::msg_wire::msg_wire_read(received, wire.data(), wire.size());
    KtEngineScanProgress parsed;
    parsed.ParseFromString(received.payload());
    KtScanRecord taken(std::move(*parsed.mutable_record()));
    benchmark::DoNotOptimize(result);
    benchmark::DoNotOptimize(taken);
  }
  state.counters["frame_bytes"] = static_cast<double>(wire.size());
}
BENCHMARK(BM_ParseProgressWithRecord);

}  // namespace

BENCHMARK_MAIN();
