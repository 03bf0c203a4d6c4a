// Scripted stand-ins for the event tracing platform: a Trace Data Helper that answers for
// synthetic events as the platform does, failing the calls an event scripts, and trace
// calls whose ProcessTrace calls back for each scripted event, then blocks until the trace
// is closed (bounded, so a session that fails to end fails its test instead of hanging).
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "sensor/etw_api.h"
#include "sensor/event_decoder.h"

namespace kx::test {

using Bytes = std::vector<uint8_t>;

enum class TdhCall { event_info_size, event_info, property_size, property };

// A DNS Server event with ID 256, stamped 1970-01-01, without properties until given
// some. record() points the record back at this object, which must outlive it unmoved.
class FakeEvent {
 public:
  struct Property {
    std::string name;
    Bytes value;
    int64_t reported_size;  // TdhGetPropertySize's answer; -1: the size of the value
  };
  std::vector<Property> properties;
  Bytes information;  // laid out by record(): the structure, the entries, the UTF-16LE names

  FakeEvent() {
    provider(sensor::kDnsServerProviderGuid).id(256).timestamp(sensor::kFiletimeUnixEpochOffset);
  }
  FakeEvent& provider(const GUID& guid) { return set(&record_.EventHeader.ProviderId, guid); }
  FakeEvent& id(uint16_t value) { return set(&record_.EventHeader.EventDescriptor.Id, value); }
  FakeEvent& timestamp(int64_t t) { return set(&record_.EventHeader.TimeStamp.QuadPart, t); }

  // Replaces the named property, or appends it when it is new.
  FakeEvent& property(const std::string& name, const Bytes& value, int64_t reported_size = -1) {
    auto same = [&name](const Property& p) { return p.name == name; };
    auto found = std::find_if(properties.begin(), properties.end(), same);
    if (found == properties.end()) found = properties.insert(found, Property{});
    *found = {name, value, reported_size};
    return *this;
  }
  FakeEvent& fail(TdhCall call, uint32_t status, const std::string& property = std::string()) {
    failures_[{call, property}] = status;
    return *this;
  }
  // What the call answers for the named property ("": the event information); 0: success.
  uint32_t failure(TdhCall call, const std::string& property) const {
    auto found = failures_.find({call, property});
    return found != failures_.end() ? found->second : 0;
  }

  EVENT_RECORD* record() {
    const size_t array = offsetof(TRACE_EVENT_INFO, EventPropertyInfoArray);
    information.assign(std::max(sizeof(TRACE_EVENT_INFO), array + properties.size() * kEntry), 0);
    TRACE_EVENT_INFO info{};
    info.PropertyCount = info.TopLevelPropertyCount = static_cast<uint32_t>(properties.size());
    memcpy(information.data(), &info, array);
    for (size_t i = 0; i < properties.size(); ++i) {
      EVENT_PROPERTY_INFO entry{};
      entry.NameOffset = static_cast<uint32_t>(information.size());
      memcpy(information.data() + array + i * kEntry, &entry, kEntry);
      for (char c : properties[i].name) information.insert(information.end(), {uint8_t(c), 0});
      information.insert(information.end(), {0, 0});
    }
    record_.UserData = this;
    return &record_;
  }

 private:
  static constexpr size_t kEntry = sizeof(EVENT_PROPERTY_INFO);

  template <typename Field, typename Value>
  FakeEvent& set(Field* field, Value value) {
    *field = static_cast<Field>(value);
    return *this;
  }

  EVENT_RECORD record_{};
  std::map<std::pair<TdhCall, std::string>, uint32_t> failures_;
};

// A packet event as the provider lays it out: TCP, InterfaceIP, then Source (256, 258)
// or Destination (257), three more fields (a 'P' at 4, not after a 'B'), BufferSize and
// PacketData; addresses are text with its NUL.
inline FakeEvent dns_packet_event(uint16_t event_id, const std::string& device,
                                  const std::string& server, uint8_t is_tcp, const Bytes& packet,
                                  int64_t filetime) {
  FakeEvent event;
  auto size = static_cast<uint16_t>(packet.size());
  auto text = [](const std::string& t) { return Bytes(t.c_str(), t.c_str() + t.size() + 1); };
  event.id(event_id).timestamp(filetime).property("TCP", {is_tcp});
  event.property("InterfaceIP", text(server));
  event.property(event_id == 257 ? "Destination" : "Source", text(device));
  event.property("XID", {0x12, 0x34}).property("Port", {0x35, 0x00}).property("Flags", {0, 1});
  event.property("BufferSize", {static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8)});
  return event.property("PacketData", packet);
}

// A message handler that keeps a copy of each message in the std::vector<Bytes> at user.
inline int32_t collect(const uint8_t* data, uint32_t length, void* user) {
  static_cast<std::vector<Bytes>*>(user)->emplace_back(data, data + length);
  return 0;
}

class FakeTdh : public kx::sensor::TdhApi {
 public:
  uint32_t get_event_information(EVENT_RECORD* record, TRACE_EVENT_INFO* buffer,
                                 uint32_t* buffer_size) override {
    const auto* event = static_cast<const FakeEvent*>(record->UserData);
    TdhCall call = buffer != nullptr ? TdhCall::event_info : TdhCall::event_info_size;
    if (uint32_t status = event->failure(call, "")) return status;
    if (buffer == nullptr || *buffer_size < event->information.size()) {
      *buffer_size = static_cast<uint32_t>(event->information.size());
      return etw::kErrorInsufficientBuffer;
    }
    memcpy(buffer, event->information.data(), event->information.size());
    return etw::kErrorSuccess;
  }

  uint32_t get_property_size(EVENT_RECORD* record, PROPERTY_DATA_DESCRIPTOR* descriptor,
                             uint32_t* property_size) override {
    uint32_t status = 0;
    const FakeEvent::Property* p = named(TdhCall::property_size, record, descriptor, &status);
    if (p == nullptr) return status;
    *property_size = static_cast<uint32_t>(p->reported_size >= 0 ? p->reported_size
                                                                 : int64_t(p->value.size()));
    return etw::kErrorSuccess;
  }

  uint32_t get_property(EVENT_RECORD* record, PROPERTY_DATA_DESCRIPTOR* descriptor,
                        uint32_t buffer_size, uint8_t* buffer) override {
    uint32_t status = 0;
    const FakeEvent::Property* p = named(TdhCall::property, record, descriptor, &status);
    if (p == nullptr) return status;
    if (buffer_size < p->value.size()) return etw::kErrorInsufficientBuffer;
    if (!p->value.empty()) memcpy(buffer, p->value.data(), p->value.size());
    return etw::kErrorSuccess;
  }

 private:
  // The property named at the descriptor's pointer, or null with the status to answer.
  static const FakeEvent::Property* named(TdhCall call, EVENT_RECORD* record,
                                          const PROPERTY_DATA_DESCRIPTOR* descriptor,
                                          uint32_t* status) {
    *status = etw::kErrorInvalidParameter;
    if (descriptor->ArrayIndex != etw::kWholeProperty || descriptor->Reserved != 0) return nullptr;
    std::string name;
    const auto* c = reinterpret_cast<const char*>(descriptor->PropertyName);
    for (; c[0] != 0 || c[1] != 0; c += 2) name += *c;
    const auto* event = static_cast<const FakeEvent*>(record->UserData);
    for (const FakeEvent::Property& p : event->properties) {
      if (p.name != name) continue;
      *status = event->failure(call, name);
      return *status == 0 ? &p : nullptr;
    }
    return nullptr;
  }
};

class FakeEtw : public kx::sensor::EtwApi {
 public:
  static constexpr TRACEHANDLE kTraceHandle = 0x7ACE;

  // Set it before the session starts.
  struct Script {
    uint32_t start_status = 0;  // 0: created, 183: exists already, else an error
    uint32_t enable_status = 0;
    uint32_t open_error = 0;  // 0: opened, else fails with this GetLastError
    uint32_t process_fails_at_once = 0;  // 0: ProcessTrace blocks until the trace is closed
    uint32_t process_status = 0;         // ProcessTrace's result once it ends
    std::vector<FakeEvent> events;  // what each ProcessTrace delivers
  } script;

  // What the session query answers. The session queries when it starts and when its
  // counts are read, so a test changes it only while the session waits in ProcessTrace.
  struct QueryAnswer {
    uint32_t status;  // 0, or the error the query fails with
    uint32_t events_lost;
    uint32_t real_time_buffers_lost;
    uint32_t log_buffers_lost;
    uint32_t log_file_mode;
  } answer{};

  Bytes start_properties;  // the Wnode.BufferSize bytes of the block StartTrace was given

  // The calls made: "StartTrace(<name>)", "EnableTraceEx2(<session>, <dns or other>,
  // <control code>, <level>)", "OpenTrace(<name>, <mode>)", "ProcessTrace" once its events
  // are through, "CloseTrace(<trace, invalid or the handle>)".
  std::vector<std::string> calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }

  uint32_t start_trace(TRACEHANDLE* session, const char* name,
                       EVENT_TRACE_PROPERTIES* properties) override {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back("StartTrace(" + std::string(name) + ")");
    const auto* bytes = reinterpret_cast<const uint8_t*>(properties);
    start_properties.assign(bytes, bytes + properties->Wnode.BufferSize);
    if (script.start_status == etw::kErrorSuccess) *session = 0x5E55;
    return script.start_status;
  }

  uint32_t enable_trace(TRACEHANDLE session, const GUID& provider, uint32_t control_code,
                        uint8_t level, uint64_t, uint64_t, uint32_t) override {
    std::lock_guard<std::mutex> lock(mutex_);
    bool dns = memcmp(&provider, &sensor::kDnsServerProviderGuid, sizeof provider) == 0;
    calls_.push_back("EnableTraceEx2(" + std::to_string(session) + (dns ? ", dns, " : ", other, ") +
                     std::to_string(control_code) + ", " + std::to_string(level) + ")");
    return script.enable_status;
  }

  TRACEHANDLE open_trace(EVENT_TRACE_LOGFILEA* logfile) override {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back("OpenTrace(" + std::string(logfile->LoggerName) + ", " +
                     std::to_string(logfile->ProcessTraceMode) + ")");
    if (script.open_error != 0) return etw::kInvalidProcessTraceHandle;
    memcpy(&logfile_, logfile, sizeof logfile_);  // the platform keeps its own copy
    closed_ = false;
    return kTraceHandle;
  }

  uint32_t process_trace(TRACEHANDLE* handles, uint32_t handle_count) override {
    std::unique_lock<std::mutex> lock(mutex_);
    const bool ours = handle_count == 1 && handles[0] == kTraceHandle && !closed_;
    // The platform calls back without holding anything the test could wait on.
    lock.unlock();
    for (size_t i = 0; ours && i < script.events.size(); ++i) {
      EVENT_RECORD* record = script.events[i].record();
      record->UserContext = logfile_.Context;
      logfile_.EventRecordCallback(record);
      if (!logfile_.BufferCallback(&logfile_)) break;
    }
    lock.lock();
    calls_.push_back("ProcessTrace");
    if (!ours) return etw::kErrorInvalidHandle;
    if (script.process_fails_at_once != 0) return script.process_fails_at_once;
    if (!closed_changed_.wait_for(lock, std::chrono::seconds(10), [this] { return closed_; })) {
      return 1460;  // ERROR_TIMEOUT, which the session logs as its failure
    }
    return script.process_status;
  }

  uint32_t close_trace(TRACEHANDLE handle) override {
    std::lock_guard<std::mutex> lock(mutex_);
    bool ours = handle == kTraceHandle;
    bool invalid = handle == etw::kInvalidProcessTraceHandle;
    calls_.push_back("CloseTrace(" + (ours ? "trace" : invalid ? "invalid" : std::to_string(handle)) +
                     ")");
    if (!ours || closed_) return etw::kErrorInvalidHandle;
    closed_ = true;
    closed_changed_.notify_all();
    return etw::kErrorSuccess;
  }

  uint32_t query_trace(const char*, EVENT_TRACE_PROPERTIES* properties) override {
    if (answer.status != etw::kErrorSuccess) return answer.status;
    properties->EventsLost = answer.events_lost;
    properties->RealTimeBuffersLost = answer.real_time_buffers_lost;
    properties->LogBuffersLost = answer.log_buffers_lost;
    properties->LogFileMode = answer.log_file_mode;
    return etw::kErrorSuccess;
  }

  uint32_t last_error() override { return script.open_error; }

 private:
  mutable std::mutex mutex_;
  std::condition_variable closed_changed_;
  std::vector<std::string> calls_;
  EVENT_TRACE_LOGFILEA logfile_{};
  bool closed_ = true;  // until OpenTrace opens it
};

}  // namespace kx::test
