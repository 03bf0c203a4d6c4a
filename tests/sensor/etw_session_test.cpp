#include "sensor/etw_session.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/fake_etw.h"
#include "support/fake_tdh.h"
#include "support/log_capture.h"
#include "support/records.h"
#include "support/wait.h"

namespace {

using kx::sensor::EtwSession;
using kx::test::Bytes;
using kx::test::FakeEtw;
using kx::test::logged_error_text;
using Lines = std::vector<std::string>;

const char kSessionFailed[] = "ERROR - ETW session failed: ";
const Lines kStartCalls = {"StartTrace", "EnableTraceEx2", "OpenTrace", "ProcessTrace"};
const Lines kStartLines = {"Starting ETW trace...", "Enable DNS server provider for ETW trace...",
                           "Opening ETW trace...", "Entering ETW trace processing loop..."};
const Lines kStopLines = {"Closing ETW trace...", "Closing ETW trace...", "ETW session finished"};
const Lines kTwoCloses = {"CloseTrace(trace)", "CloseTrace(trace)"};

Lines concat(Lines head, const Lines& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

bool refuse_allocation = false;
void* test_reallocate(void* block, size_t size) {
  if (!refuse_allocation) return realloc(block, size);
  errno = ENOMEM;
  return nullptr;
}

// Runs on the processing thread; the test reads the messages after the thread ended.
int32_t collect(const uint8_t* data, uint32_t length, void* user) {
  static_cast<std::vector<Bytes>*>(user)->emplace_back(data, data + length);
  return 0;
}

kx::test::FakeEvent packet_event(const std::string& device) {
  return kx::test::dns_packet_event(256, device, "10.0.0.1", 0, kx::test::counting_bytes(40),
                                    kx::sensor::kFiletimeUnixEpochOffset + 258 * 10000000LL);
}

Bytes packet_message(const std::string& device) {
  return kx::test::message_body(258, device, "10.0.0.1", 0,
                                kx::test::text(kx::test::counting_bytes(40)));
}

// The capture failures a session reported, as they read in the log. The session's
// thread notes them after its error line, so a test waits for the note before it stops
// the session (a stop that comes first rightly silences the report).
struct Failures {
  Lines lines;
  std::atomic<bool> noted{false};
  bool wait() const { return kx::test::wait_until([this] { return noted.load(); }); }
};

void note_failure(const char* message, void* user) {
  std::string text;
  for (const char* c = message; *c != '\0'; ++c) {
    if (*c != '\r') text.push_back(*c);
  }
  while (!text.empty() && text.back() == '\n') text.pop_back();
  auto* failures = static_cast<Failures*>(user);
  failures->lines.push_back(text);
  failures->noted.store(true);
}

// The fake platform and the log, which outlive every session made on them.
struct Platform {
  Platform() { refuse_allocation = false; }
  kx::test::LogCapture log;
  kx::test::FakeTdh tdh;
  FakeEtw etw;
};

class EtwSessionTest : public ::testing::Test, public Platform {};

TEST_F(EtwSessionTest, FirstStartPassesTheSessionProviderAndConsumerSettings) {
  {
    EtwSession session(etw, tdh);
    session.start();
    ASSERT_TRUE(etw.wait_for_call("ProcessTrace"));
  }
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
  const auto* start = reinterpret_cast<const uint8_t*>(&properties);
  Bytes block(start, start + structure);
  const char name[] = "tevrin-agent";
  block.insert(block.end(), name, name + sizeof name);

  FakeEtw::Seen seen = etw.seen();
  EXPECT_EQ(seen.properties, block);
  EXPECT_EQ(seen.start_name, "tevrin-agent");
  EXPECT_EQ(memcmp(&seen.enable_provider, &kx::sensor::kDnsServerProviderGuid, 16), 0);
  EXPECT_EQ(seen.enable_arguments, (std::vector<uint64_t>{FakeEtw::kSessionHandle, 1, 4, 0, 0, 0}));
  EXPECT_EQ(seen.logger_name, "tevrin-agent");
  EXPECT_EQ(seen.process_trace_mode, 0x10000100u);
}

TEST(EtwSessionFailure, EachFailureEndsTheThreadWithOneLineAndStopStillCloses) {
  struct Row {
    void (*script)(FakeEtw::Script&);
    std::string error;
    size_t calls;  // of kStartCalls made up to the failure
    size_t lines;  // of kStartLines logged before it
    const char* stop_close;
  };
  const Row rows[] = {
      {[](FakeEtw::Script&) { refuse_allocation = true; },
       "malloc(EVENT_TRACE_PROPERTIES:" + std::to_string(kx::sensor::kSessionPropertiesSize) +
           ") failed: " + kx::test::logged_errno_text(ENOMEM),
       0, 1, "CloseTrace(invalid)"},
      {[](FakeEtw::Script& s) { s.start_status = 5; },
       "StartTrace() failed: " + logged_error_text(5), 1, 1, "CloseTrace(invalid)"},
      {[](FakeEtw::Script& s) { s.enable_status = 87; },
       "EnableTraceEx2() failed: " + logged_error_text(87), 2, 2, "CloseTrace(invalid)"},
      {[](FakeEtw::Script& s) { s.open_error = 5; },
       "OpenTrace() failed: " + logged_error_text(5), 3, 3, "CloseTrace(invalid)"},
      {[](FakeEtw::Script& s) {
         s.process_returns_at_once = true;
         s.process_status = 4201;
       },
       "ProcessTrace() failed: " + logged_error_text(4201), 4, 4, "CloseTrace(trace)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.error);
    Platform p;
    row.script(p.etw.script);
    EtwSession session(p.etw, p.tdh, test_reallocate);
    Failures failures;
    session.set_failure_handler(note_failure, &failures);
    session.start();
    ASSERT_TRUE(p.log.wait_for(kSessionFailed));
    ASSERT_TRUE(failures.wait());
    Lines lines(kStartLines.begin(), kStartLines.begin() + static_cast<long>(row.lines));
    lines.push_back(kSessionFailed + row.error);
    Lines calls(kStartCalls.begin(), kStartCalls.begin() + static_cast<long>(row.calls));
    EXPECT_EQ(p.log.messages(), lines);
    EXPECT_EQ(p.etw.calls(), calls);  // after its error the thread closes nothing itself

    session.stop();
    EXPECT_EQ(p.log.messages(), concat(lines, {"Closing ETW trace..."}));
    EXPECT_EQ(p.etw.calls(), concat(calls, {row.stop_close}));
    // The run sequence is told, so that the run ends as a failure.
    EXPECT_EQ(failures.lines, Lines{row.error});
  }
}

TEST_F(EtwSessionTest, ProcessTraceEndingWithAnErrorAfterStopIsLoggedAsTheSessionFailure) {
  etw.script.process_status = 1223;
  Failures failures;
  {
    EtwSession session(etw, tdh);
    session.set_failure_handler(note_failure, &failures);
    session.start();
    ASSERT_TRUE(etw.wait_for_call("ProcessTrace"));
  }
  // Caused by the stop: no failure of the capture.
  EXPECT_TRUE(failures.lines.empty());
  std::string failed = kSessionFailed + ("ProcessTrace() failed: " + logged_error_text(1223));
  EXPECT_EQ(log.messages(), concat(kStartLines, {"Closing ETW trace...", failed}));
  // The thread does not close the trace again after the error.
  EXPECT_EQ(etw.calls(), concat(kStartCalls, {"CloseTrace(trace)"}));
}

TEST_F(EtwSessionTest, EventsGoThroughTheDecoderToTheLastInstalledHandlerOrNowhere) {
  std::vector<Bytes> collected;
  for (bool with_handler : {false, true}) {
    EtwSession session(etw, tdh);
    if (with_handler) {
      session.set_message_handler(collect, nullptr);
      session.set_message_handler(collect, &collected);
    }
    session.start();
    for (const char* device : {"10.0.0.5", "fe80::5", "10.0.0.6"}) {
      etw.deliver(packet_event(device));
    }
    ASSERT_TRUE(etw.wait_until_delivered());
    EXPECT_EQ(tdh.calls().back(), "TdhGetProperty(PacketData)");  // decoded either way
    session.stop();
    // The counts outlive the state of the stopped session.
    EXPECT_EQ(session.counts().captured, with_handler ? 2u : 0u);
    EXPECT_EQ(session.counts().skipped, 1u) << "the IPv6 device address";
  }
  EXPECT_EQ(collected,
            (std::vector<Bytes>{packet_message("10.0.0.5"), packet_message("10.0.0.6")}));
  Lines run = concat(kStartLines, kStopLines);
  EXPECT_EQ(log.messages(), concat(run, run));
}

// The session's counters hold the losses of earlier runs as well: only their growth
// since this start counts. A failing query is logged once and keeps the last figure.
TEST_F(EtwSessionTest, CaptureDroppedIsTheSessionsLossSinceThisStart) {
  etw.answer_queries({0, 100, 20, 3, 0x100});
  EtwSession session(etw, tdh);
  session.start();
  ASSERT_TRUE(etw.wait_for_call("ProcessTrace"));
  // Lost before the first report, after the start.
  etw.answer_queries({0, 150, 25, 3, 0x8100});
  const kx::sensor::CaptureCounts counts = session.counts();
  EXPECT_EQ(counts.dropped, 55u);
  EXPECT_EQ(counts.details, " etw_log_file_mode=0x00008100");
  etw.answer_queries({5, 900, 0, 0, 0});
  session.counts();
  session.stop();
  EXPECT_EQ(session.counts().dropped, 55u);
  const Lines expected = concat(kStartLines, {"ERROR - ControlTrace(tevrin-agent) failed: " +
                                              logged_error_text(5)});
  EXPECT_EQ(log.messages(), concat(expected, kStopLines));
}

// The first start creates and enables the session; a start that finds it already there
// (183) only attaches. Either way processing goes on until the stop.
TEST_F(EtwSessionTest, StopOfAnIdleSessionDoesNothingAndStartTwiceMakesOneThread) {
  EtwSession session(etw, tdh);
  session.stop();
  EXPECT_TRUE(etw.calls().empty());
  EXPECT_TRUE(log.messages().empty());
  session.start();
  session.start();
  ASSERT_TRUE(etw.wait_for_call("ProcessTrace"));
  session.stop();
  session.stop();
  etw.script.start_status = 183;
  session.start();
  ASSERT_TRUE(etw.wait_for_call("ProcessTrace", 2));
  session.stop();
  EXPECT_EQ(etw.calls(), concat(concat(kStartCalls, kTwoCloses),
                                {"StartTrace", "OpenTrace", "ProcessTrace", "CloseTrace(trace)",
                                 "CloseTrace(trace)"}));
  const Lines attached = {"Starting ETW trace...",
                          "ETW trace with name tevrin-agent already started!",
                          "Opening ETW trace...", "Entering ETW trace processing loop..."};
  EXPECT_EQ(log.messages(), concat(concat(concat(kStartLines, kStopLines), attached), kStopLines));
}

TEST_F(EtwSessionTest, StopBeforeTheTraceHandleIsStoredStillEndsTheThread) {
  etw.script.hold_open = true;
  EtwSession session(etw, tdh);
  session.start();
  ASSERT_TRUE(etw.wait_for_call("OpenTrace"));
  // The stop closes the still invalid handle and then waits in its join while the
  // thread is inside OpenTrace.
  std::thread stopper([&session] { session.stop(); });
  bool closed = etw.wait_for_call("CloseTrace(invalid)");
  etw.release_open();
  stopper.join();
  ASSERT_TRUE(closed);
  EXPECT_EQ(etw.calls(), (Lines{"StartTrace", "EnableTraceEx2", "OpenTrace",
                                "CloseTrace(invalid)", "CloseTrace(trace)"}));
  EXPECT_EQ(log.messages(),
            concat(Lines(kStartLines.begin(), kStartLines.begin() + 3), kStopLines));
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
