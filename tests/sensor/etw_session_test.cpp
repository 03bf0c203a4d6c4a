#include "sensor/etw_session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "support/fake_etw.h"
#include "support/log_capture.h"
#include "support/records.h"
#include "support/wait.h"

namespace {

using namespace kx::test;
using kx::sensor::EtwSession;
using Lines = std::vector<std::string>;

const char kSessionFailed[] = "ERROR - ETW session failed: ";
const Lines kStartCalls = {"StartTrace(tevrin-agent)", "EnableTraceEx2(24149, dns, 1, 4)",
                           "OpenTrace(tevrin-agent, 268435712)", "ProcessTrace"};
const Lines kStartLines = {"Starting ETW trace...", "Enable DNS server provider for ETW trace...",
                           "Opening ETW trace...", "Entering ETW trace processing loop..."};
const Lines kStopLines = {"Closing ETW trace...", "Closing ETW trace...", "ETW session finished"};

Lines concat(Lines head, const Lines& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

// Waits until ProcessTrace was entered count times, its events delivered.
bool processing(const FakeEtw& etw, long count = 1) {
  return wait_until([&etw, count] {
    const Lines calls = etw.calls();
    return std::count(calls.begin(), calls.end(), "ProcessTrace") >= count;
  });
}

void* refuse(void*, size_t) {
  errno = ENOMEM;
  return nullptr;
}

// The capture failures a session reported, as they read in the log. A test waits for the
// note before it stops the session: a stop that comes first rightly silences the report.
struct Failures {
  Lines lines;
  std::atomic<bool> noted{false};
};

void note_failure(const char* message, void* user) {
  std::string text(message);
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  static_cast<Failures*>(user)->lines.push_back(text.erase(text.find_last_not_of('\n') + 1));
  static_cast<Failures*>(user)->noted.store(true);
}

// The fake platform and the log, which outlive every session made on them.
struct Platform {
  LogCapture log;
  FakeTdh tdh;
  FakeEtw etw;
};

class EtwSessionTest : public ::testing::Test, public Platform {};

// The run sequence is told of the failure, so that the run ends as a failure; the thread
// closes nothing after its error, and the stop closes the trace handle if OpenTrace gave
// one, else the invalid handle.
TEST(EtwSessionFailure, EachFailureEndsTheThreadWithOneLineAndStopStillCloses) {
  struct Row {
    uint32_t FakeEtw::Script::*status;  // the call that fails with code; null: the allocation
    int32_t code;
    std::string call;
    size_t calls;  // of kStartCalls made up to the failure; one more line is logged for none
  };
  const std::string size = std::to_string(kx::sensor::kSessionPropertiesSize);
  const Row rows[] = {
      {nullptr, 0, "malloc(EVENT_TRACE_PROPERTIES:" + size + ")", 0},
      {&FakeEtw::Script::start_status, 5, "StartTrace()", 1},
      {&FakeEtw::Script::enable_status, 87, "EnableTraceEx2()", 2},
      {&FakeEtw::Script::open_error, 5, "OpenTrace()", 3},
      {&FakeEtw::Script::process_fails_at_once, 4201, "ProcessTrace()", 4},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.call);
    Platform p;
    const bool allocation = row.status == nullptr;
    if (!allocation) p.etw.script.*row.status = static_cast<uint32_t>(row.code);
    EtwSession session(p.etw, p.tdh, allocation ? refuse : kx::sensor::reallocate_block);
    Failures failures;
    session.set_failure_handler(note_failure, &failures);
    session.start();
    ASSERT_TRUE(wait_until([&failures] { return failures.noted.load(); }));
    session.stop();
    const std::string error = row.call + " failed: " + (allocation ? logged_errno_text(ENOMEM)
                                                                    : logged_error_text(row.code));
    EXPECT_EQ(failures.lines, Lines{error});
    Lines lines(kStartLines.begin(), kStartLines.begin() + std::max<long>(long(row.calls), 1));
    EXPECT_EQ(p.log.messages(), concat(lines, {kSessionFailed + error, "Closing ETW trace..."}));
    Lines calls(kStartCalls.begin(), kStartCalls.begin() + long(row.calls));
    EXPECT_EQ(p.etw.calls(), concat(calls, {row.calls == 4 ? "CloseTrace(trace)"
                                                           : "CloseTrace(invalid)"}));
  }
}

// Events go through the decoder to the handler, an IPv6 device skipped. The session's loss
// counters hold earlier runs' losses too: only their growth since this start counts, a
// failing query is logged once and keeps the last figure, and counts outlive the stop.
TEST_F(EtwSessionTest, CountsWhatWasCapturedSkippedAndLostSinceThisStart) {
  std::vector<Bytes> collected;
  const Bytes packet = {'p', 'a', 'c', 'k', 'e', 't'};  // what message_body frames by default
  for (const char* device : {"10.0.0.5", "fe80::5", "10.0.0.6"}) {
    etw.script.events.push_back(
        dns_packet_event(256, device, "10.0.0.1", 0, packet, kx::sensor::kFiletimeUnixEpochOffset));
  }
  etw.answer = {0, 100, 20, 3, 0x100};
  EtwSession session(etw, tdh);
  session.set_message_handler(collect, &collected);
  session.start();
  ASSERT_TRUE(processing(etw));
  etw.answer = {0, 150, 25, 4, 0x8100};
  EXPECT_EQ(session.counts().details, " etw_log_file_mode=0x00008100");
  etw.answer = {5, 900, 0, 0, 0};
  session.counts();
  session.stop();
  const kx::sensor::CaptureCounts counts = session.counts();
  EXPECT_EQ(collected,
            (std::vector<Bytes>{message_body(0, "10.0.0.5"), message_body(0, "10.0.0.6")}));
  EXPECT_EQ((std::vector<uint64_t>{counts.captured, counts.skipped, counts.dropped}),
            (std::vector<uint64_t>{2, 1, 56}));
  const std::string failed = "ERROR - ControlTrace(tevrin-agent) failed: " + logged_error_text(5);
  EXPECT_EQ(log.messages(), concat(concat(kStartLines, {failed}), kStopLines));
}

// The first start creates the session with the properties below and enables the provider;
// a start that finds it (183) only attaches. Either way processing goes on until the stop;
// a ProcessTrace error after the stop is logged but is no capture failure.
TEST_F(EtwSessionTest, StartCreatesOrFindsTheSessionOnceAndStopOfAnIdleSessionDoesNothing) {
  EtwSession session(etw, tdh);
  Failures failures;
  session.set_failure_handler(note_failure, &failures);
  session.stop();  // idle: closes nothing, logs nothing
  session.start();
  session.start();
  ASSERT_TRUE(processing(etw));
  session.stop();
  session.stop();
  etw.script.start_status = 183;
  etw.script.process_status = 1223;
  session.start();
  ASSERT_TRUE(processing(etw, 2));
  session.stop();
  EXPECT_EQ(failures.lines, Lines());
  const Lines attach = {kStartCalls[0], kStartCalls[2], kStartCalls[3], "CloseTrace(trace)"};
  EXPECT_EQ(etw.calls(), concat(concat(kStartCalls, {"CloseTrace(trace)", "CloseTrace(trace)"}),
                                attach));
  const Lines attached = {"Starting ETW trace...",
                          "ETW trace with name tevrin-agent already started!",
                          "Opening ETW trace...", "Entering ETW trace processing loop...",
                          "Closing ETW trace...",
                          kSessionFailed + ("ProcessTrace() failed: " + logged_error_text(1223))};
  EXPECT_EQ(log.messages(), concat(concat(kStartLines, kStopLines), attached));

  // The structure, zero but for the fields below, then the name and its NUL.
  Bytes block(sizeof(EVENT_TRACE_PROPERTIES) + 13);
  auto* expected = reinterpret_cast<EVENT_TRACE_PROPERTIES*>(block.data());
  expected->Wnode.BufferSize = static_cast<uint32_t>(block.size());
  expected->Wnode.Guid = kx::sensor::kEtwSessionGuid;
  expected->Wnode.ClientContext = 1;
  expected->Wnode.Flags = 0x00020000;
  expected->BufferSize = 128;
  expected->LogFileMode = 0x00000100;
  expected->FlushTimer = 1;
  expected->LoggerNameOffset = sizeof(EVENT_TRACE_PROPERTIES);
  memcpy(block.data() + expected->LoggerNameOffset, "tevrin-agent", 13);
  EXPECT_EQ(etw.start_properties, block);
}

}  // namespace
