// collector-send: writes a crafted agent stream to a collector, for tests and trials.
//
//   collector-send [--no-hello] [--version TEXT] [--time SECONDS] [--repeat N] ADDR:PORT ITEM...
//
// ITEM is one of
//   query,NAME,TYPE,DEVICE,SERVER,udp|tcp      a DNS query built with ldns
//   response,NAME,TYPE,DEVICE,SERVER,udp|tcp   its answer (one A or AAAA record when
//                                              TYPE is A or AAAA, NOERROR)
//   record,HEX                                 a record: length and the given body
//   raw,HEX                                    bytes as they are, no framing
//   -                                          the items of standard input, one a line
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

// After the C++ headers: ldns's headers define names that clang's libstdc++ use clashes
// with when they come first.
#include <ldns/ldns.h>

#include "agent/errors.h"
#include "socket_address.h"
#include "wire/wire_format.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t at = text.find(separator, start);
    parts.push_back(text.substr(start, at - start));
    if (at == std::string::npos) return parts;
    start = at + 1;
  }
}

Bytes from_hex(const std::string& hex) {
  if (hex.size() % 2 != 0) throw std::runtime_error("odd number of hex digits: " + hex);
  Bytes bytes;
  for (size_t i = 0; i < hex.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

void append_record(Bytes& stream, const Bytes& body) {
  kx::wire::append_record(stream, body.data(), body.size());
}

// A query for name and type, or its answer, in wire form.
Bytes dns_packet(bool response, const std::string& name, const std::string& type) {
  ldns_rr_type rr_type = ldns_get_rr_type_by_name(type.c_str());
  if (rr_type == 0) throw std::runtime_error("unknown record type " + type);
  ldns_rdf* owner = ldns_dname_new_frm_str(name.c_str());
  if (owner == nullptr) throw std::runtime_error("bad name " + name);
  ldns_pkt* packet = ldns_pkt_query_new(owner, rr_type, LDNS_RR_CLASS_IN, LDNS_RD);
  ldns_pkt_set_id(packet, 0x1234);
  if (response) {
    ldns_pkt_set_qr(packet, true);
    ldns_pkt_set_ra(packet, true);
    std::string data = rr_type == LDNS_RR_TYPE_A ? "192.0.2.1"
                       : rr_type == LDNS_RR_TYPE_AAAA ? "2001:db8::1" : "";
    if (!data.empty()) {
      ldns_rr* answer = nullptr;
      std::string text = name + " 300 IN " + type + " " + data;
      if (ldns_rr_new_frm_str(&answer, text.c_str(), 0, nullptr, nullptr) != LDNS_STATUS_OK) {
        ldns_pkt_free(packet);
        throw std::runtime_error("bad answer " + text);
      }
      ldns_pkt_push_rr(packet, LDNS_SECTION_ANSWER, answer);
    }
  }
  uint8_t* wire = nullptr;
  size_t size = 0;
  ldns_status status = ldns_pkt2wire(&wire, packet, &size);
  ldns_pkt_free(packet);
  if (status != LDNS_STATUS_OK) throw std::runtime_error("ldns_pkt2wire() failed");
  Bytes bytes(wire, wire + size);
  free(wire);
  return bytes;
}

Bytes dns_message(const std::vector<std::string>& fields, uint32_t time_seconds) {
  if (fields.size() != 6 || (fields[5] != "udp" && fields[5] != "tcp")) {
    throw std::runtime_error("want query|response,NAME,TYPE,DEVICE,SERVER,udp|tcp");
  }
  Bytes packet = dns_packet(fields[0] == "response", fields[1], fields[2]);
  Bytes body(kx::wire::dns_message_size(fields[3].size(), fields[4].size(), packet.size()));
  kx::wire::write_dns_message(body.data(), time_seconds, fields[3], fields[4],
                              fields[5] == "tcp" ? 1 : 0, packet.data(), packet.size());
  return body;
}

void append_item(Bytes& stream, const std::string& item, uint32_t time_seconds) {
  std::vector<std::string> fields = split(item, ',');
  if (fields[0] == "query" || fields[0] == "response") {
    append_record(stream, dns_message(fields, time_seconds));
  } else if (fields[0] == "record" && fields.size() == 2) {
    append_record(stream, from_hex(fields[1]));
  } else if (fields[0] == "raw" && fields.size() == 2) {
    Bytes raw = from_hex(fields[1]);
    stream.insert(stream.end(), raw.begin(), raw.end());
  } else {
    throw std::runtime_error("unknown item " + item);
  }
}

void send_stream(const std::string& address_text, const Bytes& stream) {
  kx::collector::SocketAddress address;
  if (!kx::collector::parse_socket_address(address_text, &address)) {
    throw std::runtime_error("bad address " + address_text);
  }
  int fd = socket(address.family(), SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) kx::error::raise_errno_error<std::runtime_error>("socket", "", errno);
  if (connect(fd, address.get(), address.length) != 0) {
    int error = errno;
    close(fd);
    kx::error::raise_errno_error<std::runtime_error>("connect", address_text, error);
  }
  size_t sent = 0;
  while (sent < stream.size()) {
    ssize_t n = send(fd, stream.data() + sent, stream.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int error = errno;
      close(fd);
      kx::error::raise_errno_error<std::runtime_error>("send", address_text, error);
    }
    sent += static_cast<size_t>(n);
  }
  close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  bool hello = true;
  std::string version = kx::wire::kAgentVersion;
  uint32_t time_seconds = static_cast<uint32_t>(time(nullptr));
  unsigned long repeat = 1;
  int i = 1;
  try {
    for (; i < argc && strncmp(argv[i], "--", 2) == 0; ++i) {
      std::string option = argv[i];
      if (option == "--no-hello") {
        hello = false;
      } else if (i + 1 < argc && option == "--version") {
        version = argv[++i];
      } else if (i + 1 < argc && option == "--time") {
        time_seconds = static_cast<uint32_t>(std::stoul(argv[++i]));
      } else if (i + 1 < argc && option == "--repeat") {
        repeat = std::stoul(argv[++i]);
      } else {
        throw std::runtime_error("unknown option " + option);
      }
    }
    if (argc - i < 1) {
      throw std::runtime_error(
          "usage: collector-send [--no-hello] [--version TEXT] [--time SECONDS] "
          "[--repeat N] ADDR:PORT ITEM...");
    }
    std::string address = argv[i++];
    std::vector<std::string> items;
    for (; i < argc; ++i) {
      if (strcmp(argv[i], "-") != 0) {
        items.push_back(argv[i]);
        continue;
      }
      for (std::string line; std::getline(std::cin, line);) {
        if (!line.empty()) items.push_back(line);
      }
    }
    Bytes stream;
    if (hello) {
      Bytes body{kx::wire::kHelloMessageType};
      body.insert(body.end(), version.begin(), version.end());
      append_record(stream, body);
    }
    for (unsigned long round = 0; round < repeat; ++round) {
      for (const std::string& item : items) append_item(stream, item, time_seconds);
    }
    send_stream(address, stream);
  } catch (const std::exception& e) {
    fprintf(stderr, "collector-send: %s\n", e.what());
    return 1;
  }
  return 0;
}
