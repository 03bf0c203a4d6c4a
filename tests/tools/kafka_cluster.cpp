// kafka-cluster: librdkafka's mock cluster, three brokers on loopback ports. Prints the
// bootstrap list, then answers "ok" or "error: ..." to each command line of its input:
// "topic NAME PARTITIONS", "down ID", "up ID" (ID -1: every broker), "leader TOPIC
// PARTITION ID", "produce-errors N" (the next N produce requests fail, retriably).
#include <librdkafka/rdkafka.h>
#include <librdkafka/rdkafka_mock.h>

#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

rd_kafka_resp_err_t run_command(rd_kafka_mock_cluster_t* cluster, const std::string& line) {
  std::istringstream in(line);
  std::string verb, topic;
  int first = 0, second = 0;
  in >> verb;
  if (verb == "topic" && in >> topic >> first) {
    return rd_kafka_mock_topic_create(cluster, topic.c_str(), first, 3);
  }
  if (verb == "down" && in >> first) return rd_kafka_mock_broker_set_down(cluster, first);
  if (verb == "up" && in >> first) return rd_kafka_mock_broker_set_up(cluster, first);
  if (verb == "leader" && in >> topic >> first >> second) {
    return rd_kafka_mock_partition_set_leader(cluster, topic.c_str(), first, second);
  }
  if (verb == "produce-errors" && in >> first && first > 0) {
    std::vector<rd_kafka_resp_err_t> errors(static_cast<size_t>(first),
                                            RD_KAFKA_RESP_ERR_NOT_LEADER_FOR_PARTITION);
    rd_kafka_mock_push_request_errors_array(cluster, 0 /* Produce */, errors.size(),
                                            errors.data());
    return RD_KAFKA_RESP_ERR_NO_ERROR;
  }
  return RD_KAFKA_RESP_ERR__INVALID_ARG;
}

}  // namespace

int main() {
  char reason[256];
  rd_kafka_t* handle = rd_kafka_new(RD_KAFKA_PRODUCER, rd_kafka_conf_new(), reason, sizeof reason);
  rd_kafka_mock_cluster_t* cluster = handle ? rd_kafka_mock_cluster_new(handle, 3) : nullptr;
  if (cluster == nullptr) {
    fprintf(stderr, "kafka-cluster: no mock cluster: %s\n", handle ? "" : reason);
    return 1;
  }
  printf("%s\n", rd_kafka_mock_cluster_bootstraps(cluster));
  fflush(stdout);
  for (std::string line; std::getline(std::cin, line);) {
    rd_kafka_resp_err_t error = run_command(cluster, line);
    if (error) printf("error: %s: %s\n", line.c_str(), rd_kafka_err2str(error));
    if (!error) printf("ok\n");
    fflush(stdout);
  }
  rd_kafka_mock_cluster_destroy(cluster);
  rd_kafka_destroy(handle);
  return 0;
}
