// kafka-cluster: three brokers that speak the Kafka protocol on loopback ports
// (librdkafka's mock cluster), for the end-to-end tests. Prints the bootstrap list,
// then reads one command a line from standard input and answers "ok" or "error: ...":
//   topic NAME PARTITIONS         create a topic
//   down ID | up ID               take a broker down (connections cut) or bring it back
//   leader TOPIC PARTITION ID     move a partition's leadership
//   produce-errors N              fail the next N produce requests with a retriable error
// It ends at the end of its input.
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
  rd_kafka_conf_t* conf = rd_kafka_conf_new();
  rd_kafka_conf_set(conf, "log_level", "3", reason, sizeof reason);
  rd_kafka_t* handle = rd_kafka_new(RD_KAFKA_PRODUCER, conf, reason, sizeof reason);
  if (handle == nullptr) {
    fprintf(stderr, "kafka-cluster: rd_kafka_new() failed: %s\n", reason);
    return 1;
  }
  rd_kafka_mock_cluster_t* cluster = rd_kafka_mock_cluster_new(handle, 3);
  if (cluster == nullptr) {
    fprintf(stderr, "kafka-cluster: rd_kafka_mock_cluster_new() failed\n");
    return 1;
  }
  printf("%s\n", rd_kafka_mock_cluster_bootstraps(cluster));
  fflush(stdout);
  for (std::string line; std::getline(std::cin, line);) {
    rd_kafka_resp_err_t error = run_command(cluster, line);
    if (error == RD_KAFKA_RESP_ERR_NO_ERROR) {
      printf("ok\n");
    } else {
      printf("error: %s: %s\n", line.c_str(), rd_kafka_err2str(error));
    }
    fflush(stdout);
  }
  rd_kafka_mock_cluster_destroy(cluster);
  rd_kafka_destroy(handle);
  return 0;
}
