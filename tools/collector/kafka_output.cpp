#include "kafka_output.h"

#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "collector_error.h"
#include "dnstap_output.h"

namespace kx::collector {
namespace {

constexpr int kProbeTimeoutMs = 1000;
constexpr int64_t kNoteIntervalMs = 1000;
const uint64_t kWakeupValue = 1;

// The loop is the only writer of the counters; others only read them.
void add(std::atomic<uint64_t>& counter, uint64_t n) {
  counter.store(counter.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

int64_t monotonic_ms() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// Applies one setting; the error names the option the user gave it with.
void set(rd_kafka_conf_t* conf, const std::string& key, const std::string& value,
         const std::string& option) {
  char reason[512];
  if (rd_kafka_conf_set(conf, key.c_str(), value.c_str(), reason, sizeof reason) !=
      RD_KAFKA_CONF_OK) {
    rd_kafka_conf_destroy(conf);
    throw CollectorError(option + ": " + reason);
  }
}

}  // namespace

KafkaOutput::KafkaOutput(KafkaSettings settings, FILE* diagnostics)
    : settings_(std::move(settings)), diagnostics_(diagnostics) {
  rd_kafka_conf_t* conf = rd_kafka_conf_new();
  set(conf, "bootstrap.servers", settings_.brokers, "--kafka " + settings_.brokers);
  set(conf, "enable.idempotence", "true", "--kafka " + settings_.brokers);
  set(conf, "client.id", "tevrin-collector", "--kafka " + settings_.brokers);
  for (const auto& [key, value] : settings_.options) {
    set(conf, key, value, "--kafka-option " + key + "=" + value);
  }
  rd_kafka_conf_set_dr_msg_cb(conf, &KafkaOutput::on_delivery);
  rd_kafka_conf_set_error_cb(conf, &KafkaOutput::on_error);
  // The same troubles reach on_error, which counts them and limits their lines.
  rd_kafka_conf_set_log_cb(conf, nullptr);
  rd_kafka_conf_set_opaque(conf, this);
  char reason[512];
  producer_ = rd_kafka_new(RD_KAFKA_PRODUCER, conf, reason, sizeof reason);
  if (producer_ == nullptr) {
    rd_kafka_conf_destroy(conf);
    throw CollectorError("--kafka " + settings_.brokers + ": " + reason);
  }
  topic_ = rd_kafka_topic_new(producer_, settings_.topic.c_str(), nullptr);
  if (topic_ == nullptr) {
    rd_kafka_resp_err_t error = rd_kafka_last_error();
    rd_kafka_destroy(producer_);
    throw CollectorError("--kafka-topic " + settings_.topic + ": " + rd_kafka_err2str(error));
  }
  wakeup_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakeup_ < 0) {
    int error = errno;
    rd_kafka_topic_destroy(topic_);
    rd_kafka_destroy(producer_);
    kx::error::raise_errno_error<CollectorError>("eventfd", "", error);
  }
  // Delivery reports and errors wait in the main queue; librdkafka writes to the
  // eventfd when that queue stops being empty.
  rd_kafka_queue_t* queue = rd_kafka_queue_get_main(producer_);
  rd_kafka_queue_io_event_enable(queue, wakeup_, &kWakeupValue, sizeof kWakeupValue);
  rd_kafka_queue_destroy(queue);
  prober_ = std::thread([this] { probe_brokers(); });
}

KafkaOutput::~KafkaOutput() {
  stopping_ = true;
  prober_.join();
  rd_kafka_topic_destroy(topic_);
  rd_kafka_destroy(producer_);
  close(wakeup_);
}

// Runs on a thread of its own, since a metadata request blocks: until a broker answers,
// the output holds the agents back instead of filling librdkafka's queue.
void KafkaOutput::probe_brokers() {
  bool warned = false;
  while (!stopping_) {
    const struct rd_kafka_metadata* metadata = nullptr;
    rd_kafka_resp_err_t error =
        rd_kafka_metadata(producer_, 0, nullptr, &metadata, kProbeTimeoutMs);
    if (error == RD_KAFKA_RESP_ERR_NO_ERROR) {
      rd_kafka_metadata_destroy(metadata);
      if (warned) {
        fprintf(diagnostics_, "collector: kafka %s: brokers reachable\n",
                settings_.brokers.c_str());
        fflush(diagnostics_);
      }
      reachable_ = true;
      ssize_t n = ::write(wakeup_, &kWakeupValue, sizeof kWakeupValue);
      (void)n;
      return;
    }
    if (!warned) {
      fprintf(diagnostics_,
              "collector: kafka %s: no broker reachable yet (%s); retrying, agents are "
              "held back meanwhile\n",
              settings_.brokers.c_str(), rd_kafka_err2str(error));
      fflush(diagnostics_);
      warned = true;
    }
  }
}

void KafkaOutput::on_delivery(rd_kafka_t*, const rd_kafka_message_t* message, void* opaque) {
  auto* self = static_cast<KafkaOutput*>(opaque);
  // Reports that come after finish() were already counted there.
  if (self->answered_ >= self->produced_) return;
  ++self->answered_;
  if (message->err == RD_KAFKA_RESP_ERR_NO_ERROR) {
    add(self->delivered_, 1);
    return;
  }
  add(self->not_delivered_, 1);
  bool purged = message->err == RD_KAFKA_RESP_ERR__PURGE_QUEUE ||
                message->err == RD_KAFKA_RESP_ERR__PURGE_INFLIGHT;
  self->note(purged ? std::string("not delivered: flush time limit reached")
                    : std::string("not delivered: ") + rd_kafka_err2str(message->err),
             1);
}

// Errors of the client as a whole: brokers going away and coming back are retried by
// librdkafka and only counted; a fatal error ends the collector at the next event.
void KafkaOutput::on_error(rd_kafka_t* producer, int error, const char* reason, void* opaque) {
  auto* self = static_cast<KafkaOutput*>(opaque);
  add(self->errors_, 1);
  if (error == RD_KAFKA_RESP_ERR__FATAL) {
    char fatal[512];
    rd_kafka_fatal_error(producer, fatal, sizeof fatal);
    self->note(std::string("fatal error: ") + fatal, 1);
    self->fatal_ = true;
    return;
  }
  self->note(reason, 1);
}

// One line per text and second: the first at once, the ones after it counted into the
// next line, so that a broker outage cannot flood standard error.
void KafkaOutput::note(const std::string& what, uint64_t count) {
  Note& note = notes_[what];
  note.pending += count;
  int64_t now = monotonic_ms();
  if (now - note.last_ms >= kNoteIntervalMs) print_note(what, note, now);
}

// Prints the counts that have waited their second, or all of them.
void KafkaOutput::report_notes(bool all) {
  int64_t now = monotonic_ms();
  for (auto& [what, note] : notes_) {
    if (note.pending > 0 && (all || now - note.last_ms >= kNoteIntervalMs)) {
      print_note(what, note, now);
    }
  }
}

void KafkaOutput::print_note(const std::string& what, Note& note, int64_t now) {
  if (note.pending == 1) {
    fprintf(diagnostics_, "collector: kafka %s: %s\n", settings_.brokers.c_str(), what.c_str());
  } else {
    fprintf(diagnostics_, "collector: kafka %s: %s (%llu times)\n", settings_.brokers.c_str(),
            what.c_str(), static_cast<unsigned long long>(note.pending));
  }
  fflush(diagnostics_);
  note.pending = 0;
  note.last_ms = now;
}

// False when librdkafka's queue is full (the message is then held back), true
// otherwise; a message librdkafka refuses for good is counted as not delivered.
bool KafkaOutput::produce(const char* key, size_t key_size, const char* payload,
                          size_t payload_size) {
  if (rd_kafka_produce(topic_, RD_KAFKA_PARTITION_UA, RD_KAFKA_MSG_F_COPY,
                       const_cast<char*>(payload), payload_size, key, key_size, nullptr) == 0) {
    ++produced_;
    return true;
  }
  rd_kafka_resp_err_t error = rd_kafka_last_error();
  if (error == RD_KAFKA_RESP_ERR__QUEUE_FULL) return false;
  add(not_delivered_, 1);
  note(std::string("not delivered: ") + rd_kafka_err2str(error), 1);
  return true;
}

void KafkaOutput::hold(const char* key, size_t key_size, const char* payload,
                       size_t payload_size) {
  held_sizes_.emplace_back(static_cast<uint32_t>(key_size), static_cast<uint32_t>(payload_size));
  held_bytes_.insert(held_bytes_.end(), key, key + key_size);
  held_bytes_.insert(held_bytes_.end(), payload, payload + payload_size);
}

void KafkaOutput::produce_held() {
  while (held_next_ < held_sizes_.size()) {
    auto [key_size, payload_size] = held_sizes_[held_next_];
    const char* key = held_bytes_.data() + held_offset_;
    if (!produce(key, key_size, key + key_size, payload_size)) return;
    ++held_next_;
    held_offset_ += key_size + payload_size;
  }
  held_sizes_.clear();
  held_bytes_.clear();
  held_next_ = held_offset_ = 0;
}

void KafkaOutput::write(const CollectedMessage& message) {
  const char* payload;
  size_t payload_size;
  if (settings_.format == KafkaSettings::Format::json) {
    json_.format(message, line_);
    payload = line_.data();
    payload_size = line_.size() - 1;  // without the line feed
  } else {
    payload_.clear();
    encode_dnstap(message, payload_);
    payload = reinterpret_cast<const char*>(payload_.data());
    payload_size = payload_.size();
  }
  const std::string_view key = message.dns.device;
  // Behind held messages, a new one waits too, so that order per key is kept.
  if (held_sizes_.empty() && produce(key.data(), key.size(), payload, payload_size)) return;
  hold(key.data(), key.size(), payload, payload_size);
}

void KafkaOutput::flush() { serve_events(); }

bool KafkaOutput::accepting() const { return reachable_ && held_sizes_.empty(); }

void KafkaOutput::serve_events() {
  uint64_t count;
  ssize_t n = read(wakeup_, &count, sizeof count);
  (void)n;
  rd_kafka_poll(producer_, 0);
  produce_held();
  report_notes(false);
  if (fatal_) throw CollectorError("kafka " + settings_.brokers + ": producer failed for good");
}

void KafkaOutput::finish(double seconds) {
  int64_t deadline = monotonic_ms() + static_cast<int64_t>(seconds * 1000);
  while (!held_sizes_.empty() && monotonic_ms() < deadline) {
    rd_kafka_poll(producer_, 100);
    produce_held();
  }
  int64_t left = deadline - monotonic_ms();
  rd_kafka_flush(producer_, static_cast<int>(left > 0 ? left : 0));
  // What is still queued after the limit is given up; what is in flight may yet reach
  // a broker, but without its answer it counts as not delivered too, so that every
  // message is counted one way or the other.
  rd_kafka_purge(producer_, RD_KAFKA_PURGE_F_QUEUE | RD_KAFKA_PURGE_F_INFLIGHT);
  rd_kafka_poll(producer_, 0);
  if (produced_ > answered_) {
    add(not_delivered_, produced_ - answered_);
    note("not delivered: no answer within the flush time limit", produced_ - answered_);
    answered_ = produced_;
  }
  uint64_t unsent = held_sizes_.size() - held_next_;
  if (unsent > 0) {
    add(not_delivered_, unsent);
    note("not delivered: flush time limit reached", unsent);
  }
  held_sizes_.clear();
  held_bytes_.clear();
  held_next_ = held_offset_ = 0;
  report_notes(true);
}

std::string KafkaOutput::summary() const {
  return "kafka " + settings_.brokers + " topic " + settings_.topic + ": " +
         std::to_string(delivered_) + " delivered, " + std::to_string(not_delivered_) +
         " not delivered";
}

}  // namespace kx::collector
