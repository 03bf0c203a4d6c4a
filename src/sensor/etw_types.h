// The platform types of event tracing and the Trace Data Helper that the capture code
// uses. Windows builds take them from the platform headers. Other builds, where the
// session and decoding logic only run against test doubles, get stand-ins with the same
// names and the fields that logic touches (layouts are not the platform's).
#pragma once

#include <cstdint>

#if defined(_WIN32)

#include <windows.h>
// windows.h first: the tracing headers rely on its types.
#include <evntcons.h>
#include <evntrace.h>
#include <tdh.h>

#define KX_ETW_CALL WINAPI

#else

#define KX_ETW_CALL

// The platform's 32-bit unsigned long, the result type of the buffer callback.
using ULONG = uint32_t;

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};

union LARGE_INTEGER {
  struct {
    uint32_t LowPart;
    int32_t HighPart;
  } u;
  int64_t QuadPart;
};

struct EVENT_DESCRIPTOR {
  uint16_t Id;
  uint8_t Version;
  uint8_t Channel;
  uint8_t Level;
  uint8_t Opcode;
  uint16_t Task;
  uint64_t Keyword;
};

struct EVENT_HEADER {
  uint16_t Size;
  uint16_t HeaderType;
  uint16_t Flags;
  uint16_t EventProperty;
  uint32_t ThreadId;
  uint32_t ProcessId;
  LARGE_INTEGER TimeStamp;
  GUID ProviderId;
  EVENT_DESCRIPTOR EventDescriptor;
  uint64_t ProcessorTime;
  GUID ActivityId;
};

struct EVENT_RECORD {
  EVENT_HEADER EventHeader;
  uint32_t BufferContext;
  uint16_t ExtendedDataCount;
  uint16_t UserDataLength;
  void* ExtendedData;
  void* UserData;
  void* UserContext;
};

struct EVENT_PROPERTY_INFO {
  uint32_t Flags;
  uint32_t NameOffset;
  struct {
    uint16_t InType;
    uint16_t OutType;
    uint32_t MapNameOffset;
  } nonStructType;
  uint16_t count;
  uint16_t length;
  uint32_t Reserved;
};

struct TRACE_EVENT_INFO {
  GUID ProviderGuid;
  GUID EventGuid;
  EVENT_DESCRIPTOR EventDescriptor;
  uint32_t DecodingSource;
  uint32_t ProviderNameOffset;
  uint32_t LevelNameOffset;
  uint32_t ChannelNameOffset;
  uint32_t KeywordsNameOffset;
  uint32_t TaskNameOffset;
  uint32_t OpcodeNameOffset;
  uint32_t EventMessageOffset;
  uint32_t ProviderMessageOffset;
  uint32_t BinaryXMLOffset;
  uint32_t BinaryXMLSize;
  uint32_t ActivityIDNameOffset;
  uint32_t RelatedActivityIDNameOffset;
  uint32_t PropertyCount;
  uint32_t TopLevelPropertyCount;
  uint32_t Flags;
  EVENT_PROPERTY_INFO EventPropertyInfoArray[1];
};

struct PROPERTY_DATA_DESCRIPTOR {
  uint64_t PropertyName;
  uint32_t ArrayIndex;
  uint32_t Reserved;
};

using TRACEHANDLE = uint64_t;

struct WNODE_HEADER {
  uint32_t BufferSize;
  uint32_t ProviderId;
  uint64_t HistoricalContext;
  LARGE_INTEGER TimeStamp;
  GUID Guid;
  uint32_t ClientContext;
  uint32_t Flags;
};

struct EVENT_TRACE_PROPERTIES {
  WNODE_HEADER Wnode;
  uint32_t BufferSize;
  uint32_t MinimumBuffers;
  uint32_t MaximumBuffers;
  uint32_t MaximumFileSize;
  uint32_t LogFileMode;
  uint32_t FlushTimer;
  uint32_t EnableFlags;
  int32_t AgeLimit;
  uint32_t NumberOfBuffers;
  uint32_t FreeBuffers;
  uint32_t EventsLost;
  uint32_t BuffersWritten;
  uint32_t LogBuffersLost;
  uint32_t RealTimeBuffersLost;
  void* LoggerThreadId;
  uint32_t LogFileNameOffset;
  uint32_t LoggerNameOffset;
};

struct EVENT_TRACE_LOGFILEA;
using PEVENT_TRACE_BUFFER_CALLBACKA = ULONG (*)(EVENT_TRACE_LOGFILEA* logfile);
using PEVENT_RECORD_CALLBACK = void (*)(EVENT_RECORD* record);

struct EVENT_TRACE_LOGFILEA {
  char* LogFileName;
  char* LoggerName;
  int64_t CurrentTime;
  uint32_t BuffersRead;
  union {
    uint32_t LogFileMode;
    uint32_t ProcessTraceMode;
  };
  PEVENT_TRACE_BUFFER_CALLBACKA BufferCallback;
  uint32_t BufferSize;
  uint32_t Filled;
  uint32_t EventsLost;
  union {
    void* EventCallback;
    PEVENT_RECORD_CALLBACK EventRecordCallback;
  };
  uint32_t IsKernelTrace;
  void* Context;
};

#endif

namespace kx::etw {

// The platform's fixed values, spelled once so both builds use the same numbers.
inline constexpr uint32_t kErrorSuccess = 0;
inline constexpr uint32_t kErrorInvalidHandle = 6;
inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorInsufficientBuffer = 122;
inline constexpr uint32_t kErrorAlreadyExists = 183;
inline constexpr TRACEHANDLE kInvalidProcessTraceHandle = ~TRACEHANDLE{0};
inline constexpr uint32_t kWnodeFlagTracedGuid = 0x00020000;
inline constexpr uint32_t kEventTraceRealTimeMode = 0x00000100;
inline constexpr uint32_t kProcessTraceModeRealTime = 0x00000100;
inline constexpr uint32_t kProcessTraceModeEventRecord = 0x10000000;
inline constexpr uint32_t kEventControlCodeEnableProvider = 1;
inline constexpr uint32_t kEventTraceControlQuery = 0;
inline constexpr uint8_t kTraceLevelInformation = 4;
// ArrayIndex of a property descriptor that names a whole property, not one element.
inline constexpr uint32_t kWholeProperty = 0xFFFFFFFF;

}  // namespace kx::etw
