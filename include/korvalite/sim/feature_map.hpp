#pragma once
// Addresses of the simulated camera's own (non-bootstrap) registers, and where its description
// lives in device memory. The built-in description names the same addresses.
#include <cstdint>

namespace korvalite::sim::features {

inline constexpr std::uint32_t kWidth = 0x10000;
inline constexpr std::uint32_t kHeight = 0x10004;
inline constexpr std::uint32_t kOffsetX = 0x10008;
inline constexpr std::uint32_t kOffsetY = 0x1000C;
inline constexpr std::uint32_t kPixelFormat = 0x10010;
inline constexpr std::uint32_t kSensorWidth = 0x10014;   // read-only
inline constexpr std::uint32_t kSensorHeight = 0x10018;  // read-only
inline constexpr std::uint32_t kAcquisitionMode = 0x1001C;
inline constexpr std::uint32_t kAcquisitionFrameCount = 0x10020;
inline constexpr std::uint32_t kAcquisitionStart = 0x10024;  // command: write 1
inline constexpr std::uint32_t kAcquisitionStop = 0x10028;   // command: write 1
inline constexpr std::uint32_t kAcquisitionFrameRateEnable = 0x1002C;
inline constexpr std::uint32_t kAcquisitionFrameRate = 0x10030;  // 8-byte IEEE double
inline constexpr std::uint32_t kGain = 0x10038;                  // 4-byte IEEE float
inline constexpr std::uint32_t kExposureTimeRaw = 0x1003C;       // units of 0.1 us
inline constexpr std::uint32_t kStatusControl = 0x10040;         // bit fields, below
inline constexpr std::uint32_t kTLParamsLocked = 0x10044;
inline constexpr std::uint32_t kTriggerSelector = 0x10048;  // FrameStart (0) only
inline constexpr std::uint32_t kTriggerMode = 0x1004C;      // 0 off, 1 on
inline constexpr std::uint32_t kTriggerSource = 0x10050;    // values below
inline constexpr std::uint32_t kTriggerSoftware = 0x10054;  // command: write 1
inline constexpr std::uint32_t kTriggerActivation = 0x10058;  // 0 rising edge, 1 falling edge
inline constexpr std::uint32_t kChunkModeActive = 0x1005C;  // 0 off, 1 on
inline constexpr std::uint32_t kChunkSelector = 0x10060;    // ChunkSelector value (chunk_payload.hpp)
inline constexpr std::uint32_t kChunkEnable = 0x10064;      // one register per selector, 4 bytes apart
inline constexpr std::uint32_t kChunkEnableEnd = 0x1007C;
inline constexpr std::uint32_t kEventSelector = 0x1007C;      // event values below
inline constexpr std::uint32_t kEventNotification = 0x10080;  // one word per event: 0 off, 1 on
inline constexpr std::uint32_t kTestPattern = 0x10088;  // TestPattern value (scene.hpp)
inline constexpr std::uint32_t kFeatureBlockEnd = 0x1008C;

// AcquisitionMode values.
inline constexpr std::uint32_t kModeContinuous = 0;
inline constexpr std::uint32_t kModeSingleFrame = 1;
inline constexpr std::uint32_t kModeMultiFrame = 2;

// TriggerSource values: software, or input line N as kTriggerSourceLine0 + N.
inline constexpr std::uint32_t kTriggerSourceSoftware = 0;
inline constexpr std::uint32_t kTriggerSourceLine0 = 1;
inline constexpr std::uint32_t kTriggerLines = 2;

// StatusControl bits (value bits, least significant = 0).
inline constexpr std::uint32_t kStatusAcquisitionActive = 1u << 0;   // read-only
inline constexpr std::uint32_t kStatusFrameEndEventEnable = 1u << 1;
inline constexpr std::uint32_t kStatusIndicatorShift = 8;  // two-bit indicator mode, bits 8-9
inline constexpr std::uint32_t kStatusWritableMask = kStatusFrameEndEventEnable | (3u << kStatusIndicatorShift);

// Event sent at the end of every frame while StatusControl's frame-end bit is set.
inline constexpr std::uint16_t kFrameEndEventId = 0x9001;

// EventSelector values; the notification of event e is the word at kEventNotification + 4·e.
inline constexpr std::uint32_t kEventExposureEnd = 0;
inline constexpr std::uint32_t kEventFrameStart = 1;
inline constexpr std::uint32_t kSelectableEvents = 2;
inline constexpr std::uint32_t event_notification(std::uint32_t event) { return kEventNotification + 4 * event; }

// The events EventNotification turns on, stamped with the frame's start (FrameStart: the
// trigger, or the instant the frame was begun) and with that start plus the exposure time
// (ExposureEnd); their block id is the frame's.
inline constexpr std::uint16_t kExposureEndEventId = 0x9002;
inline constexpr std::uint16_t kFrameStartEventId = 0x9003;

// The description file in device memory.
inline constexpr std::uint32_t kDescriptionAddress = 0x100000;

}  // namespace korvalite::sim::features
