#include "collector_metrics.h"

#include <prometheus/collectable.h>
#include <prometheus/exposer.h>
#include <prometheus/metric_family.h>

#include <map>
#include <utility>

#include "collector_error.h"

namespace kx::collector {
namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

constexpr char kPrefix[] = "tevrin_collector_";

MetricFamily family(const char* name, const char* help, MetricType type) {
  MetricFamily f;
  f.name = std::string(kPrefix) + name;
  f.help = help;
  f.type = type;
  return f;
}

ClientMetric sample(MetricType type, uint64_t value, const char* label = nullptr,
                    const std::string& label_value = {}) {
  ClientMetric metric;
  if (label != nullptr) metric.label.push_back({label, label_value});
  if (type == MetricType::Gauge) {
    metric.gauge.value = static_cast<double>(value);
  } else {
    metric.counter.value = static_cast<double>(value);
  }
  return metric;
}

MetricFamily single(const char* name, const char* help, MetricType type, uint64_t value) {
  MetricFamily f = family(name, help, type);
  f.metric.push_back(sample(type, value));
  return f;
}

class Collector : public prometheus::Collectable {
 public:
  Collector(const CollectorServer& server, std::vector<const Output*> outputs)
      : server_(server), outputs_(std::move(outputs)) {}
  std::vector<MetricFamily> Collect() const override { return collect_metrics(server_, outputs_); }

 private:
  const CollectorServer& server_;
  std::vector<const Output*> outputs_;
};

}  // namespace

std::vector<MetricFamily> collect_metrics(const CollectorServer& server,
                                          const std::vector<const Output*>& outputs) {
  const MetricType counter = MetricType::Counter;
  ServerStats stats = server.stats();
  std::vector<MetricFamily> families;
  families.push_back(single("connections", "Agent connections open now.", MetricType::Gauge,
                            stats.open));
  families.push_back(single("connections_total", "Agent connections accepted.", counter,
                            stats.connections));
  families.push_back(single("rejected_total",
                            "Connections closed at accept: peer not in an allowed network.",
                            counter, stats.rejected));
  MetricFamily messages = family("messages_total", "DNS packet messages received, by agent address.", counter);
  MetricFamily bytes = family("bytes_total", "Bytes read, by agent address.", counter);
  server.for_each_agent([&](const std::string& agent, const AgentTotals& totals) {
    messages.metric.push_back(sample(counter, totals.messages.load(), "agent", agent));
    bytes.metric.push_back(sample(counter, totals.bytes.load(), "agent", agent));
  });
  families.push_back(std::move(messages));
  families.push_back(std::move(bytes));
  families.push_back(single("malformed_total", "Connections closed for bad input.", counter,
                            stats.malformed));
  families.push_back(single("truncated_total", "Unfinished records dropped with their connection.",
                            counter, stats.truncated));
  // Outputs of one kind add up, so the series stay the same whatever their number.
  std::map<std::string, std::pair<uint64_t, uint64_t>> by_kind;
  for (const Output* output : outputs) {
    auto& totals = by_kind[output->kind()];
    totals.first += output->dropped();
    totals.second += output->errors();
  }
  MetricFamily dropped = family("output_dropped_total", "Messages an output took and never delivered.", counter);
  MetricFamily errors = family("output_errors_total", "Failures of an output's file or receiver.", counter);
  for (const auto& [kind, totals] : by_kind) {
    dropped.metric.push_back(sample(counter, totals.first, "output", kind));
    errors.metric.push_back(sample(counter, totals.second, "output", kind));
  }
  families.push_back(std::move(dropped));
  families.push_back(std::move(errors));
  return families;
}

MetricsEndpoint::MetricsEndpoint(const std::string& address, const CollectorServer& server,
                                 std::vector<const Output*> outputs)
    : collectable_(std::make_shared<Collector>(server, std::move(outputs))) {
  try {
    exposer_ = std::make_unique<prometheus::Exposer>(address, 2);
  } catch (const std::exception& e) {
    throw CollectorError("--metrics " + address + ": cannot listen (" + e.what() + ")");
  }
  exposer_->RegisterCollectable(collectable_);
  std::vector<int> ports = exposer_->GetListeningPorts();
  std::string host = address.substr(0, address.rfind(':'));
  url_ = "http://" + host + ":" + (ports.empty() ? std::string("?") : std::to_string(ports[0])) +
         "/metrics";
}

MetricsEndpoint::~MetricsEndpoint() = default;

}  // namespace kx::collector
