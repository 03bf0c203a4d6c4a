#include "sensor/etw_session.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/wire_format.h"
#include "support/fake_etw.h"
#include "support/fake_tdh.h"
#include "support/log_capture.h"

namespace {

using kx::sensor::EtwSession;
using kx::test::FakeEtw;
using kx::test::logged_errno_text;
using kx::test::logged_error_text;
using Lines = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;

const char kSessionFailed[] = "ERROR - ETW session failed: ";

// Messages handed to the installed handler, from the processing thread.
struct Collected {
  std::mutex mutex;
  std::vector<Bytes> messages;
  static int32_t handler(const uint8_t* data, uint32_t length, void* user) {
    auto* self = static_cast<Collected*>(user);
    std::lock_guard<std::mutex> lock(self->mutex);
    self->messages.emplace_back(data, data + length);
    return 7;
  }
  std::vector<Bytes> all() {
    std::lock_guard<std::mutex> lock(mutex);
    return messages;
  }
};

bool refuse_allocation = false;
void* test_reallocate(void* block, size_t size) {
  if (refuse_allocation) {
    errno = ENOMEM;
    return nullptr;
  }
  return realloc(block, size);
}

class EtwSessionTest : public ::testing::Test {
 protected:
  EtwSessionTest() { refuse_allocation = false; }

  // The fake and the log outlive every session a test creates.
  kx::test::LogCapture log_;
  kx::test::FakeTdh tdh_;
  FakeEtw etw_;
};

kx::test::FakeEvent packet_event(const std::string& device) {
  return kx::test::dns_packet_event(256, device, "10.0.0.1", 0, kx::test::counting_bytes(40),
                                    kx::sensor::kFiletimeUnixEpochOffset + 258 * 10000000LL);
}

Bytes packet_message(const std::string& device) {
  Bytes packet = kx::test::counting_bytes(40);
  Bytes message(kx::wire::dns_message_size(device.size(), 8, packet.size()));
  kx::wire::write_dns_message(message.data(), 258, device, "10.0.0.1", 0, packet.data(),
                              packet.size());
  return message;
}

TEST_F(EtwSessionTest, FirstStartCreatesTheSessionEnablesTheProviderAndProcessesUntilStop) {
  {
    EtwSession session(etw_, tdh_);
    session.start();
    ASSERT_TRUE(etw_.wait_for_call("ProcessTrace"));
    session.stop();
  }
  EXPECT_EQ(etw_.calls(), (Lines{"StartTrace", "EnableTraceEx2", "OpenTrace", "ProcessTrace",
                                 "CloseTrace(trace)", "CloseTrace(trace)"}));
  EXPECT_EQ(log_.messages(),
            (Lines{"Starting ETW trace...", "Enable DNS server provider for ETW trace...",
                   "Opening ETW trace...", "Entering ETW trace processing loop...",
                   "Closing ETW trace...", "Closing ETW trace...", "ETW session finished"}));
  EXPECT_FALSE(etw_.gave_up());

  FakeEtw::Seen seen = etw_.seen();
  EXPECT_EQ(seen.start_name, "tevrin-agent");
  EXPECT_EQ(seen.enable_session, FakeEtw::kSessionHandle);
  EXPECT_EQ(memcmp(&seen.enable_provider, &kx::sensor::kDnsServerProviderGuid, 16), 0);
  EXPECT_EQ(seen.enable_control_code, 1u);
  EXPECT_EQ(seen.enable_level, 4u);
  EXPECT_EQ(seen.enable_any, 0u);
  EXPECT_EQ(seen.enable_all, 0u);
  EXPECT_EQ(seen.enable_timeout, 0u);
  EXPECT_EQ(seen.logger_name, "tevrin-agent");
  EXPECT_EQ(seen.process_trace_mode, 0x10000100u);
  EXPECT_EQ(seen.buffer_callback, &kx::sensor::buffer_callback);
  EXPECT_EQ(seen.event_record_callback, &kx::sensor::event_record_callback);
  EXPECT_NE(seen.context, nullptr);
  EXPECT_EQ(seen.process_handles, std::vector<TRACEHANDLE>{FakeEtw::kTraceHandle});
}

TEST_F(EtwSessionTest, PropertiesBlockCarriesTheNameBehindTheStructureAndNothingElse) {
  {
    EtwSession session(etw_, tdh_);
    session.start();
    ASSERT_TRUE(etw_.wait_for_call("ProcessTrace"));
  }
  Bytes block = etw_.seen().properties;
  const size_t structure = sizeof(EVENT_TRACE_PROPERTIES);
  ASSERT_EQ(block.size(), structure + 12 + 1);
  EVENT_TRACE_PROPERTIES properties;
  memcpy(&properties, block.data(), structure);
  EXPECT_EQ(properties.Wnode.BufferSize, block.size());
  EXPECT_EQ(memcmp(&properties.Wnode.Guid, &kx::sensor::kEtwSessionGuid, 16), 0);
  EXPECT_EQ(properties.Wnode.ClientContext, 1u);
  EXPECT_EQ(properties.Wnode.Flags, 0x00020000u);
  EXPECT_EQ(properties.BufferSize, 128u);
  EXPECT_EQ(properties.LogFileMode, 0x00000100u);
  EXPECT_EQ(properties.FlushTimer, 1u);
  EXPECT_EQ(properties.LoggerNameOffset, structure);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(block.data()) + structure),
            "tevrin-agent");
  EXPECT_EQ(block.back(), 0);

  // With the named fields cleared, every byte of the structure must be zero.
  properties.Wnode.BufferSize = 0;
  properties.Wnode.Guid = GUID{};
  properties.Wnode.ClientContext = 0;
  properties.Wnode.Flags = 0;
  properties.BufferSize = 0;
  properties.LogFileMode = 0;
  properties.FlushTimer = 0;
  properties.LoggerNameOffset = 0;
  EXPECT_EQ(Bytes(reinterpret_cast<const uint8_t*>(&properties),
                  reinterpret_cast<const uint8_t*>(&properties) + structure),
            Bytes(structure, 0));
}

TEST_F(EtwSessionTest, LaterStartFindsTheSessionAndAttachesWithoutEnabling) {
  etw_.script.start_status = 183;
  {
    EtwSession session(etw_, tdh_);
    session.start();
    ASSERT_TRUE(etw_.wait_for_call("ProcessTrace"));
  }
  EXPECT_EQ(etw_.calls(), (Lines{"StartTrace", "OpenTrace", "ProcessTrace", "CloseTrace(trace)",
                                 "CloseTrace(trace)"}));
  EXPECT_EQ(log_.messages(),
            (Lines{"Starting ETW trace...", "ETW trace with name tevrin-agent already started!",
                   "Opening ETW trace...", "Entering ETW trace processing loop...",
                   "Closing ETW trace...", "Closing ETW trace...", "ETW session finished"}));
}

// Each row needs a log of its own, so this test does without the fixture.
TEST(EtwSessionFailureTest, EachFailureEndsTheThreadWithOneLineAndStopStillCloses) {
  struct Row {
    const char* label;
    void (*script)(FakeEtw::Script&);
    std::string error;
    Lines calls_before_stop;
    Lines lines_before_error;
    const char* stop_close;
  };
  const Lines opened = {"Starting ETW trace...", "Enable DNS server provider for ETW trace...",
                        "Opening ETW trace..."};
  const Row rows[] = {
      {"properties block", [](FakeEtw::Script&) { refuse_allocation = true; },
       "malloc(EVENT_TRACE_PROPERTIES:" + std::to_string(kx::sensor::kSessionPropertiesSize) +
           ") failed: " + logged_errno_text(ENOMEM),
       {}, {"Starting ETW trace..."}, "CloseTrace(invalid)"},
      {"StartTrace", [](FakeEtw::Script& s) { s.start_status = 5; },
       "StartTrace() failed: " + logged_error_text(5), {"StartTrace"},
       {"Starting ETW trace..."}, "CloseTrace(invalid)"},
      {"EnableTraceEx2", [](FakeEtw::Script& s) { s.enable_status = 87; },
       "EnableTraceEx2() failed: " + logged_error_text(87), {"StartTrace", "EnableTraceEx2"},
       {"Starting ETW trace...", "Enable DNS server provider for ETW trace..."},
       "CloseTrace(invalid)"},
      {"OpenTrace",
       [](FakeEtw::Script& s) {
         s.open_fails = true;
         s.open_error = 5;
       },
       "OpenTrace() failed: " + logged_error_text(5), {"StartTrace", "EnableTraceEx2", "OpenTrace"},
       opened, "CloseTrace(invalid)"},
      {"ProcessTrace",
       [](FakeEtw::Script& s) {
         s.process_returns_at_once = true;
         s.process_status = 4201;
       },
       "ProcessTrace() failed: " + logged_error_text(4201),
       {"StartTrace", "EnableTraceEx2", "OpenTrace", "ProcessTrace"},
       {opened[0], opened[1], opened[2], "Entering ETW trace processing loop..."},
       "CloseTrace(trace)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    kx::test::LogCapture log;
    kx::test::FakeTdh tdh;
    FakeEtw etw;
    refuse_allocation = false;
    row.script(etw.script);
    {
      EtwSession session(etw, tdh, test_reallocate);
      session.start();
      ASSERT_TRUE(log.wait_for(kSessionFailed));
      Lines expected = row.lines_before_error;
      expected.push_back(kSessionFailed + row.error);
      EXPECT_EQ(log.messages(), expected);
      // After its error the thread closes nothing itself.
      EXPECT_EQ(etw.calls(), row.calls_before_stop);

      session.stop();
      expected.push_back("Closing ETW trace...");
      EXPECT_EQ(log.messages(), expected);
      Lines calls = row.calls_before_stop;
      calls.push_back(row.stop_close);
      EXPECT_EQ(etw.calls(), calls);
    }
    refuse_allocation = false;
  }
}

TEST_F(EtwSessionTest, ProcessTraceEndingWithAnErrorAfterStopIsLoggedAsTheSessionFailure) {
  etw_.script.process_status = 1223;
  {
    EtwSession session(etw_, tdh_);
    session.start();
    ASSERT_TRUE(etw_.wait_for_call("ProcessTrace"));
    session.stop();
  }
  Lines lines = log_.messages();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[4], "Closing ETW trace...");
  EXPECT_EQ(lines[5], kSessionFailed + ("ProcessTrace() failed: " + logged_error_text(1223)));
  // The thread does not close the trace again after the error.
  EXPECT_EQ(etw_.calls().back(), "CloseTrace(trace)");
  EXPECT_EQ(etw_.calls().size(), 5u);
}

TEST_F(EtwSessionTest, EventsGoThroughTheDecoderToTheInstalledHandler) {
  Collected collected;
  {
    EtwSession session(etw_, tdh_);
    session.set_message_handler(Collected::handler, nullptr);
    session.set_message_handler(Collected::handler, &collected);  // the later pair counts
    session.start();
    ASSERT_TRUE(etw_.wait_for_call("ProcessTrace"));
    etw_.deliver(packet_event("10.0.0.5"));
    etw_.deliver(packet_event("fe80::5"));  // not IPv4: dropped
    etw_.deliver(packet_event("10.0.0.6"));
    ASSERT_TRUE(etw_.wait_until_delivered());
    session.stop();
  }
  EXPECT_EQ(collected.all(), (std::vector<Bytes>{packet_message("10.0.0.5"),
                                                 packet_message("10.0.0.6")}));
  EXPECT_FALSE(etw_.gave_up());
}

TEST_F(EtwSessionTest, WithoutAHandlerEventsAreDecodedAndDropped) {
  {
    EtwSession session(etw_, tdh_);
    session.start();
    etw_.deliver(packet_event("10.0.0.5"));
    ASSERT_TRUE(etw_.wait_until_delivered());
  }
  EXPECT_EQ(tdh_.calls().back(), "TdhGetProperty(PacketData)");
  EXPECT_EQ(log_.messages().back(), "ETW session finished");
}

TEST_F(EtwSessionTest, StartTwiceMakesOneThreadAndAStartAfterStopBeginsAfresh) {
  EtwSession session(etw_, tdh_);
  session.start();
  session.start();
  ASSERT_TRUE(etw_.wait_for_call("ProcessTrace"));
  session.stop();
  EXPECT_EQ(etw_.calls().size(), 6u);

  etw_.script.start_status = 183;
  session.start();
  ASSERT_TRUE(etw_.wait_for_call("ProcessTrace", 2));
  session.stop();
  Lines calls = etw_.calls();
  ASSERT_EQ(calls.size(), 11u);
  EXPECT_EQ(Lines(calls.begin() + 6, calls.end()),
            (Lines{"StartTrace", "OpenTrace", "ProcessTrace", "CloseTrace(trace)",
                   "CloseTrace(trace)"}));
}

TEST_F(EtwSessionTest, StopOfAnIdleSessionDoesNothing) {
  {
    EtwSession never_started(etw_, tdh_);
    never_started.stop();
    never_started.stop();
  }
  EXPECT_TRUE(etw_.calls().empty());
  EXPECT_TRUE(log_.messages().empty());
}

TEST_F(EtwSessionTest, DestroyingAStartedSessionStopsIt) {
  {
    EtwSession session(etw_, tdh_);
    session.start();
    ASSERT_TRUE(etw_.wait_for_call("ProcessTrace"));
  }
  EXPECT_EQ(log_.messages().back(), "ETW session finished");
  EXPECT_FALSE(etw_.gave_up());
}

TEST_F(EtwSessionTest, StopBeforeTheTraceHandleIsStoredStillEndsTheThread) {
  etw_.script.hold_open = true;
  EtwSession session(etw_, tdh_);
  session.start();
  ASSERT_TRUE(etw_.wait_for_call("OpenTrace"));
  // The stop closes the still invalid handle and then waits in its join while the
  // thread is inside OpenTrace.
  std::thread stopper([&session] { session.stop(); });
  bool closed = etw_.wait_for_call("CloseTrace(invalid)");
  etw_.release_open();
  stopper.join();
  ASSERT_TRUE(closed);

  EXPECT_EQ(etw_.calls(), (Lines{"StartTrace", "EnableTraceEx2", "OpenTrace",
                                 "CloseTrace(invalid)", "CloseTrace(trace)"}));
  EXPECT_EQ(log_.messages(),
            (Lines{"Starting ETW trace...", "Enable DNS server provider for ETW trace...",
                   "Opening ETW trace...", "Closing ETW trace...", "Closing ETW trace...",
                   "ETW session finished"}));
  EXPECT_FALSE(etw_.gave_up());
}

TEST_F(EtwSessionTest, BufferCallbackGoesOnUntilTheStopFlagIsSet) {
  kx::sensor::EtwSessionState state(etw_, tdh_, kx::sensor::reallocate_block);
  EVENT_TRACE_LOGFILEA logfile;
  memset(&logfile, 0, sizeof logfile);
  logfile.Context = &state;
  EXPECT_EQ(kx::sensor::buffer_callback(&logfile), 1u);
  state.stop.store(true);
  EXPECT_EQ(kx::sensor::buffer_callback(&logfile), 0u);
}

}  // namespace
