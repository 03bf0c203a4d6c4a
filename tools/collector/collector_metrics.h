// The collector's counters for Prometheus, served at http://ADDR:PORT/metrics by the
// prometheus-cpp pull exposer on threads of its own. Every value is read at scrape time
// from counters the loop keeps anyway, so the loop pays nothing for them.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "collector_server.h"
#include "output.h"

namespace prometheus {
class Collectable;
class Exposer;
struct MetricFamily;
}  // namespace prometheus

namespace kx::collector {

// The metric families one scrape gives: connections (gauge), connections_total,
// rejected_total, messages_total and bytes_total by agent address, malformed_total,
// truncated_total, and output_dropped_total / output_errors_total by output kind.
std::vector<prometheus::MetricFamily> collect_metrics(const CollectorServer& server,
                                                      const std::vector<const Output*>& outputs);

class MetricsEndpoint {
 public:
  // Listens at once ("ADDR:PORT", port 0 for a free one); raises CollectorError when it
  // cannot. The server and outputs must outlive the endpoint.
  MetricsEndpoint(const std::string& address, const CollectorServer& server,
                  std::vector<const Output*> outputs);
  ~MetricsEndpoint();
  MetricsEndpoint(const MetricsEndpoint&) = delete;
  MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

  // The URL of the metrics, with the real port.
  const std::string& url() const { return url_; }

 private:
  std::shared_ptr<prometheus::Collectable> collectable_;
  std::unique_ptr<prometheus::Exposer> exposer_;
  std::string url_;
};

}  // namespace kx::collector
