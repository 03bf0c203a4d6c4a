// Cost of decoding one DNS packet event into its message, with the test kit's Trace Data
// Helper answering from memory, so that what is measured is mostly the decoder's own work.
// The counter "allocations" is the number of buffer growths per event after the first
// event, and "messages" the messages delivered per event (1: the event was framed, not
// refused).
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "sensor/event_decoder.h"
#include "support/fake_etw.h"

namespace {

size_t growths = 0;
void* counting_reallocate(void* block, size_t size) {
  ++growths;
  return realloc(block, size);
}

size_t messages = 0;
int32_t consume(const uint8_t* data, uint32_t length, void*) {
  ++messages;
  benchmark::DoNotOptimize(data);
  benchmark::DoNotOptimize(length);
  return 0;
}

void BM_ProcessEvent(benchmark::State& state) {
  kx::test::FakeTdh tdh;
  kx::test::FakeEvent event = kx::test::dns_packet_event(
      256, "192.168.10.20", "10.0.0.1", 0,
      kx::test::Bytes(static_cast<size_t>(state.range(0)), 0x5A),
      kx::sensor::kFiletimeUnixEpochOffset);
  EVENT_RECORD* record = event.record();
  kx::sensor::EventDecodingState decoding(tdh, counting_reallocate);
  decoding.sink.handler = consume;
  kx::sensor::process_event(decoding, record);  // grows the buffers once
  growths = 0;
  messages = 0;
  for (auto _ : state) kx::sensor::process_event(decoding, record);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
  state.counters["allocations"] =
      benchmark::Counter(static_cast<double>(growths), benchmark::Counter::kAvgIterations);
  state.counters["messages"] =
      benchmark::Counter(static_cast<double>(messages), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_ProcessEvent)->Arg(40)->Arg(512)->Arg(4096);

}  // namespace

BENCHMARK_MAIN();
