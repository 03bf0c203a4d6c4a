#include "json_output.h"

#include <cerrno>
#include <utility>

#include "collector_error.h"
#include "logging/log.h"

namespace kx::collector {
namespace {

constexpr size_t kFileBufferSize = 1u << 20;

// Appends, so that a restart or a reopen after SIGHUP never loses lines already written.
FILE* open_for_append(const std::string& path) {
  FILE* file = fopen(path.c_str(), "a");
  if (file == nullptr) {
    int error = errno;
    kx::error::raise_system_error<CollectorError>("fopen", path, error);
  }
  setvbuf(file, nullptr, _IOFBF, kFileBufferSize);
  return file;
}

void append_field(std::string& out, const char* name) {
  out += '"';
  out += name;
  out += "\":";
}

void append_flags(const DnsSummary& dns, std::string& out) {
  struct Flag {
    bool set;
    const char* name;
  };
  const Flag flags[] = {{dns.qr, "qr"}, {dns.aa, "aa"}, {dns.tc, "tc"}, {dns.rd, "rd"},
                        {dns.ra, "ra"}, {dns.ad, "ad"}, {dns.cd, "cd"}};
  out += '[';
  bool first = true;
  for (const Flag& flag : flags) {
    if (!flag.set) continue;
    if (!first) out += ',';
    out += '"';
    out += flag.name;
    out += '"';
    first = false;
  }
  out += ']';
}

}  // namespace

void JsonFormatter::append_dns(const uint8_t* packet, size_t size, std::string& out) {
  const DnsSummary& dns = decoder_.decode(packet, size);
  out += '{';
  bool first = true;
  auto separate = [&] {
    if (!first) out += ',';
    first = false;
  };
  if (dns.has_header) {
    separate();
    append_field(out, "id");
    append_uint(out, dns.id);
    out += ',';
    append_field(out, "flags");
    append_flags(dns, out);
    out += ',';
    append_field(out, "opcode");
    append_json_string(out, dns.opcode);
    out += ',';
    append_field(out, "rcode");
    append_json_string(out, dns.rcode);
    const std::pair<const char*, uint16_t> counts[] = {
        {"qdcount", dns.qdcount}, {"ancount", dns.ancount},
        {"nscount", dns.nscount}, {"arcount", dns.arcount}};
    for (const auto& [name, count] : counts) {
      out += ',';
      append_field(out, name);
      append_uint(out, count);
    }
  }
  if (dns.has_question) {
    separate();
    append_field(out, "qname");
    append_json_string(out, dns.qname);
    out += ',';
    append_field(out, "qtype");
    append_json_string(out, dns.qtype);
    out += ',';
    append_field(out, "qclass");
    append_json_string(out, dns.qclass);
  }
  if (!dns.error.empty()) {
    separate();
    append_field(out, "parse_error");
    append_json_string(out, dns.error);
  }
  out += '}';
}

void JsonFormatter::format(const CollectedMessage& message, std::string& out) {
  out.clear();
  out += "{\"received\":\"";
  received_time_.append(out, message.received_seconds);
  char micros[7] = {'.'};
  for (uint32_t i = 6, value = message.received_micros % 1000000; i > 0; --i, value /= 10) {
    micros[i] = static_cast<char>('0' + value % 10);
  }
  out.append(micros, sizeof micros);
  out += "Z\",";
  append_field(out, "agent");
  append_json_string(out, message.agent);
  out += ',';
  append_field(out, "version");
  append_json_string(out, message.version);
  out += ",\"time\":\"";
  event_time_.append(out, message.dns.time_seconds);
  out += "Z\",";
  append_field(out, "device");
  append_json_string(out, message.dns.device);
  out += ',';
  append_field(out, "server");
  append_json_string(out, message.dns.server);
  out += ',';
  append_field(out, "tcp");
  out += message.dns.is_tcp != 0 ? "true" : "false";
  out += ',';
  append_field(out, "size");
  append_uint(out, message.dns.packet_size);
  out += ',';
  append_field(out, "dns");
  append_dns(message.dns.packet, message.dns.packet_size, out);
  out += ",\"packet\":\"";
  append_base64(out, message.dns.packet, message.dns.packet_size);
  out += "\"}\n";
}

JsonOutput::JsonOutput(const std::string& path)
    : path_(path == "-" ? "standard output" : path),
      file_(path == "-" ? stdout : open_for_append(path)),
      owns_file_(path != "-") {
  if (!owns_file_) setvbuf(file_, nullptr, _IOFBF, kFileBufferSize);
}

JsonOutput::~JsonOutput() {
  if (owns_file_) {
    fclose(file_);
  } else {
    fflush(file_);
  }
}

void JsonOutput::fail(const char* call, int error) {
  kx::error::raise_system_error<CollectorError>(call, path_, error);
}

void JsonOutput::write(const CollectedMessage& message) {
  formatter_.format(message, line_);
  if (fwrite(line_.data(), 1, line_.size(), file_) != line_.size()) fail("fwrite", errno);
}

void JsonOutput::flush() {
  if (fflush(file_) != 0) fail("fflush", errno);
}

void JsonOutput::reopen() {
  if (!owns_file_) return;
  flush();
  FILE* fresh = open_for_append(path_);
  fclose(file_);
  file_ = fresh;
}

}  // namespace kx::collector
