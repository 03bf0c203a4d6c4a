// collector: receives agent streams and writes JSON lines, pcap and dnstap.
#include <signal.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "collector_metrics.h"
#include "collector_server.h"
#include "dnstap_output.h"
#include "json_output.h"
#include "kafka_output.h"
#include "options.h"
#include "pcap_output.h"

namespace {

kx::collector::CollectorServer* running_server = nullptr;

void on_stop_signal(int) {
  if (running_server != nullptr) running_server->stop();
}

// SIGHUP after logrotate has renamed the files: reopen them by path.
void on_reopen_signal(int) {
  if (running_server != nullptr) running_server->reopen();
}

void install_signal_handlers() {
  struct sigaction action = {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  action.sa_handler = on_reopen_signal;
  sigaction(SIGHUP, &action, nullptr);
  // A reader of standard output or a dnstap receiver that goes away must show as a
  // write error, not end the process.
  signal(SIGPIPE, SIG_IGN);
}

int run(const kx::collector::Options& options) {
  using namespace kx::collector;
  ServerOptions server_options;
  server_options.listen = options.listen;
  server_options.max_record = options.max_record;
  server_options.flush_each_message = options.flush_each_message;
  server_options.allow = options.allow;
  server_options.max_buffered = options.max_buffered;
  raise_descriptor_limit();
  CollectorServer server(server_options, {});

  std::vector<std::unique_ptr<Output>> outputs;
  for (const auto& path : options.json_paths) outputs.push_back(std::make_unique<JsonOutput>(path));
  for (const auto& path : options.pcap_paths) outputs.push_back(std::make_unique<PcapOutput>(path));
  for (const auto& target : options.dnstap_targets) {
    outputs.push_back(std::make_unique<DnstapOutput>(target, server.stop_descriptor()));
  }
  std::vector<KafkaOutput*> kafka_outputs;
  for (const auto& settings : options.kafka_outputs) {
    outputs.push_back(std::make_unique<KafkaOutput>(settings));
    kafka_outputs.push_back(static_cast<KafkaOutput*>(outputs.back().get()));
  }
  std::vector<Output*> sinks;
  for (const auto& output : outputs) sinks.push_back(output.get());
  server.set_outputs(sinks);
  std::unique_ptr<MetricsEndpoint> metrics;
  if (!options.metrics_address.empty()) {
    metrics = std::make_unique<MetricsEndpoint>(
        options.metrics_address, server, std::vector<const Output*>(sinks.begin(), sinks.end()));
    fprintf(stderr, "metrics on %s\n", metrics->url().c_str());
  }

  running_server = &server;
  install_signal_handlers();
  fprintf(stderr, "listening on %s\n", server.address().c_str());
  fflush(stderr);
  int status = 0;
  try {
    server.run();
  } catch (const std::exception& e) {
    fprintf(stderr, "collector: %s\n", e.what());
    status = 1;
  }
  running_server = nullptr;
  for (KafkaOutput* kafka : kafka_outputs) kafka->finish(options.kafka_flush_seconds);
  fprintf(stderr, "collector: %s\n", server.summary().c_str());
  for (KafkaOutput* kafka : kafka_outputs) {
    fprintf(stderr, "collector: %s\n", kafka->summary().c_str());
    if (kafka->not_delivered() > 0) status = 1;
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  kx::collector::Options options;
  try {
    options = kx::collector::parse_options(argc, argv);
  } catch (const kx::collector::UsageError& e) {
    fprintf(stderr, "collector: %s\n%s", e.what(), kx::collector::kUsage);
    return 2;
  }
  if (options.help) {
    fputs(kx::collector::kUsage, stdout);
    return 0;
  }
  try {
    return run(options);
  } catch (const std::exception& e) {
    fprintf(stderr, "collector: %s\n", e.what());
    return 1;
  }
}
