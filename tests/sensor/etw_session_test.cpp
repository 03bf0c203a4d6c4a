#include "sensor/etw_session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
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
const Lines kStartCalls = {"StartTrace(tevrin-agent)", "EnableTraceEx2(24149, dns, 1, 4, 0, 0, 0)",
                           "OpenTrace(tevrin-agent, 10000100)", "ProcessTrace"};
const Lines kStartLines = {"Starting ETW trace...", "Enable DNS server provider for ETW trace...",
                           "Opening ETW trace...", "Entering ETW trace processing loop..."};
const Lines kStopLines = {"Closing ETW trace...", "Closing ETW trace...", "ETW session finished"};

Lines concat(Lines head, const Lines& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

void* refuse(void*, size_t) {
  errno = ENOMEM;
  return nullptr;
}

// The capture failures a session reported, as they read in the log. The session's
// thread notes them after its error line, so a test waits for the note before it stops
// the session (a stop that comes first rightly silences the report).
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

TEST_F(EtwSessionTest, ProcessTraceEndingWithAnErrorAfterStopIsLoggedButNoCaptureFailure) {
  etw.script.process_status = 1223;
  Failures failures;
  {
    EtwSession session(etw, tdh);
    session.set_failure_handler(note_failure, &failures);
    session.start();
    ASSERT_TRUE(etw.wait_for_call("ProcessTrace"));
  }
  EXPECT_EQ(failures.lines, Lines());
  std::string failed = kSessionFailed + ("ProcessTrace() failed: " + logged_error_text(1223));
  EXPECT_EQ(log.messages(), concat(kStartLines, {"Closing ETW trace...", failed}));
  EXPECT_EQ(etw.calls(), concat(kStartCalls, {"CloseTrace(trace)"}));
}

// Without a handler events are still decoded (the IPv6 device address is skipped either
// way); the counts outlive the state of the stopped session.
TEST_F(EtwSessionTest, EventsGoThroughTheDecoderToTheLastInstalledHandlerOrNowhere) {
  std::vector<Bytes> collected;
  const Bytes packet = {'p', 'a', 'c', 'k', 'e', 't'};  // what message_body frames by default
  for (const char* device : {"10.0.0.5", "fe80::5", "10.0.0.6"}) {
    etw.script.events.push_back(
        dns_packet_event(256, device, "10.0.0.1", 0, packet, kx::sensor::kFiletimeUnixEpochOffset));
  }
  for (bool with_handler : {false, true}) {
    EtwSession session(etw, tdh);
    if (with_handler) {
      session.set_message_handler(collect, nullptr);
      session.set_message_handler(collect, &collected);
    }
    session.start();
    ASSERT_TRUE(etw.wait_for_call("ProcessTrace", with_handler ? 2 : 1));
    session.stop();
    EXPECT_EQ(session.counts().captured, with_handler ? 2u : 0u);
    EXPECT_EQ(session.counts().skipped, 1u);
  }
  EXPECT_EQ(collected,
            (std::vector<Bytes>{message_body(0, "10.0.0.5"), message_body(0, "10.0.0.6")}));
  Lines run = concat(kStartLines, kStopLines);
  EXPECT_EQ(log.messages(), concat(run, run));
}

// The session's counters hold the losses of earlier runs as well: only their growth
// since this start counts. A failing query is logged once and keeps the last figure.
TEST_F(EtwSessionTest, CaptureDroppedIsTheSessionsLossSinceThisStart) {
  etw.answer = {0, 100, 20, 3, 0x100};
  EtwSession session(etw, tdh);
  session.start();
  ASSERT_TRUE(etw.wait_for_call("ProcessTrace"));
  etw.answer = {0, 150, 25, 4, 0x8100};
  const kx::sensor::CaptureCounts counts = session.counts();
  EXPECT_EQ(counts.dropped, 56u);
  EXPECT_EQ(counts.details, " etw_log_file_mode=0x00008100");
  etw.answer = {5, 900, 0, 0, 0};
  session.counts();
  session.stop();
  EXPECT_EQ(session.counts().dropped, 56u);
  const std::string failed = "ERROR - ControlTrace(tevrin-agent) failed: " + logged_error_text(5);
  EXPECT_EQ(log.messages(), concat(concat(kStartLines, {failed}), kStopLines));
}

// The first start creates the session, with the properties below, and enables the
// provider; a start that finds it already there (183) only attaches. Either way
// processing goes on until the stop.
TEST_F(EtwSessionTest, StartCreatesOrFindsTheSessionOnceAndStopOfAnIdleSessionDoesNothing) {
  EtwSession session(etw, tdh);
  session.stop();
  EXPECT_EQ(etw.calls(), Lines());
  EXPECT_EQ(log.messages(), Lines());
  session.start();
  session.start();
  ASSERT_TRUE(etw.wait_for_call("ProcessTrace"));
  session.stop();
  session.stop();
  etw.script.start_status = 183;
  session.start();
  ASSERT_TRUE(etw.wait_for_call("ProcessTrace", 2));
  session.stop();
  const Lines closes = {"CloseTrace(trace)", "CloseTrace(trace)"};
  const Lines attach = {kStartCalls[0], kStartCalls[2], kStartCalls[3]};
  EXPECT_EQ(etw.calls(), concat(concat(concat(kStartCalls, closes), attach), closes));
  const Lines attached = {"Starting ETW trace...",
                          "ETW trace with name tevrin-agent already started!",
                          "Opening ETW trace...", "Entering ETW trace processing loop..."};
  EXPECT_EQ(log.messages(), concat(concat(concat(kStartLines, kStopLines), attached), kStopLines));

  // The structure, zero but for the fields below, then the name and its NUL.
  const size_t structure = sizeof(EVENT_TRACE_PROPERTIES);
  EVENT_TRACE_PROPERTIES properties;
  memset(&properties, 0, structure);
  properties.Wnode.BufferSize = static_cast<uint32_t>(structure + 12 + 1);
  properties.Wnode.Guid = kx::sensor::kEtwSessionGuid;
  properties.Wnode.ClientContext = 1;
  properties.Wnode.Flags = 0x00020000;
  properties.BufferSize = 128;
  properties.LogFileMode = 0x00000100;
  properties.FlushTimer = 1;
  properties.LoggerNameOffset = static_cast<uint32_t>(structure);
  Bytes block(reinterpret_cast<const uint8_t*>(&properties),
              reinterpret_cast<const uint8_t*>(&properties) + structure);
  const char name[] = "tevrin-agent";
  block.insert(block.end(), name, name + sizeof name);
  EXPECT_EQ(etw.start_properties, block);
}

TEST_F(EtwSessionTest, BufferCallbackGoesOnUntilTheStopFlagIsSet) {
  kx::sensor::EtwSessionState state(etw, tdh, kx::sensor::reallocate_block);
  EVENT_TRACE_LOGFILEA logfile;
  memset(&logfile, 0, sizeof logfile);
  logfile.Context = &state;
  EXPECT_EQ(kx::sensor::buffer_callback(&logfile), 1u);
  state.stop.store(true);
  EXPECT_EQ(kx::sensor::buffer_callback(&logfile), 0u);
}

}  // namespace
