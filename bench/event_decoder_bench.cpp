// Cost of decoding one DNS packet event into its message, with a Trace Data Helper that
// answers from memory, so that what is measured is the decoder's own work. The counter
// "allocations" is the number of buffer growths per event after the first event, and
// "messages" the messages delivered per event (1: the event was framed, not refused).
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sensor/event_decoder.h"

namespace {

// One event: TCP, InterfaceIP, Source, Port, BufferSize, PacketData.
class MemoryTdh final : public kx::sensor::TdhApi {
 public:
  explicit MemoryTdh(size_t packet_size) : packet_(packet_size, 0x5A) {
    values_ = {{0}, text("10.0.0.1"), text("192.168.10.20"), {0, 53}, {0, 0}, packet_};
    const char* names[] = {"TCP", "InterfaceIP", "Source", "Port", "BufferSize", "PacketData"};
    size_t header = offsetof(TRACE_EVENT_INFO, EventPropertyInfoArray) +
                    values_.size() * sizeof(EVENT_PROPERTY_INFO);
    size_t total = header;
    for (const char* name : names) total += 2 * (strlen(name) + 1);
    info_.assign(total, 0);
    auto* info = reinterpret_cast<TRACE_EVENT_INFO*>(info_.data());
    info->PropertyCount = static_cast<uint32_t>(values_.size());
    size_t at = header;
    for (size_t i = 0; i < values_.size(); ++i) {
      info->EventPropertyInfoArray[i].NameOffset = static_cast<uint32_t>(at);
      // UTF-16LE: each ASCII letter then a zero byte; the block is zeroed already.
      for (const char* c = names[i]; *c != '\0'; ++c, at += 2) info_[at] = static_cast<uint8_t>(*c);
      at += 2;
    }
  }

  uint32_t get_event_information(EVENT_RECORD*, TRACE_EVENT_INFO* buffer,
                                 uint32_t* buffer_size) override {
    if (buffer == nullptr || *buffer_size < info_.size()) {
      *buffer_size = static_cast<uint32_t>(info_.size());
      return kx::etw::kErrorInsufficientBuffer;
    }
    memcpy(buffer, info_.data(), info_.size());
    block_ = reinterpret_cast<const uint8_t*>(buffer);
    return 0;
  }

  uint32_t get_property_size(EVENT_RECORD*, PROPERTY_DATA_DESCRIPTOR* descriptor,
                             uint32_t* property_size) override {
    *property_size = static_cast<uint32_t>(value_of(descriptor).size());
    return 0;
  }

  uint32_t get_property(EVENT_RECORD*, PROPERTY_DATA_DESCRIPTOR* descriptor,
                        uint32_t buffer_size, uint8_t* buffer) override {
    const std::vector<uint8_t>& value = value_of(descriptor);
    if (buffer_size < value.size()) return kx::etw::kErrorInsufficientBuffer;
    memcpy(buffer, value.data(), value.size());
    return 0;
  }

 private:
  static std::vector<uint8_t> text(const std::string& s) {
    std::vector<uint8_t> value(s.size() + 1, 0);
    memcpy(value.data(), s.data(), s.size());
    return value;
  }

  const std::vector<uint8_t>& value_of(const PROPERTY_DATA_DESCRIPTOR* descriptor) const {
    auto offset = static_cast<uint32_t>(static_cast<uintptr_t>(descriptor->PropertyName) -
                                        reinterpret_cast<uintptr_t>(block_));
    const auto* info = reinterpret_cast<const TRACE_EVENT_INFO*>(info_.data());
    for (size_t i = 0; i < values_.size(); ++i) {
      if (info->EventPropertyInfoArray[i].NameOffset == offset) return values_[i];
    }
    return empty_;
  }

  std::vector<uint8_t> packet_;
  std::vector<std::vector<uint8_t>> values_;
  std::vector<uint8_t> info_;
  std::vector<uint8_t> empty_;
  const uint8_t* block_ = nullptr;
};

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
  MemoryTdh tdh(static_cast<size_t>(state.range(0)));
  kx::sensor::EventDecodingState decoding(tdh, counting_reallocate);
  decoding.sink.handler = consume;
  EVENT_RECORD record{};
  record.EventHeader.ProviderId = kx::sensor::kDnsServerProviderGuid;
  record.EventHeader.EventDescriptor.Id = 256;
  record.EventHeader.TimeStamp.QuadPart = kx::sensor::kFiletimeUnixEpochOffset;
  kx::sensor::process_event(decoding, &record);  // grows the buffers once
  growths = 0;
  messages = 0;
  for (auto _ : state) kx::sensor::process_event(decoding, &record);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
  state.counters["allocations"] =
      benchmark::Counter(static_cast<double>(growths), benchmark::Counter::kAvgIterations);
  state.counters["messages"] =
      benchmark::Counter(static_cast<double>(messages), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_ProcessEvent)->Arg(40)->Arg(512)->Arg(4096);

}  // namespace

BENCHMARK_MAIN();
