#pragma once
// Docstrings of the Camera methods (nanobind puts the signature line above each).

namespace korvalite::py::doc {

inline constexpr const char* kConnect =
    "Connect: take control privilege (exclusive access when the camera was made\n"
    "with `exclusive=True`), start the heartbeat, read the device identity and\n"
    "load the GenICam feature model. Connecting while connected does nothing;\n"
    "a connection whose control was lost is replaced by a new one. Every\n"
    "feature value is read afresh from the device after connecting. If the\n"
    "model cannot be loaded, control is given back before the error is raised\n"
    "and the camera is left not connected. Ctrl-C (any signal handler that\n"
    "raises) ends a connect within 100 ms and leaves the camera not connected.";
inline constexpr const char* kDisconnect =
    "Give control back and stop the control channel, waiting at most\n"
    "`deadline` seconds for it to confirm. Never raises for transport trouble;\n"
    "the feature model is kept for the next `connect()`.";
inline constexpr const char* kIsConnected = "`True` while a connection exists and its control channel is alive.";
inline constexpr const char* kDeviceInfo =
    "The device identity read when connecting; raises `CameraException` when\n"
    "there is no live connection.";
inline constexpr const char* kLinkStats = "A snapshot of the control-channel counters, or `None` when not connected.";
inline constexpr const char* kFeatureNames =
    "The names of every node of the feature model in description order, helper\n"
    "nodes and registers included.";
inline constexpr const char* kHasFeature = "`True` when the feature model is loaded and knows `name`; never raises.";
inline constexpr const char* kGetInteger = "The value of an integer feature.";
inline constexpr const char* kSetInteger = "Write an integer feature (a signed 64-bit value).";
inline constexpr const char* kIntegerBounds = "`(minimum, maximum)` of an integer feature.";
inline constexpr const char* kIntegerIncrement = "The increment of an integer feature.";
inline constexpr const char* kGetFloat = "The value of a float feature.";
inline constexpr const char* kChunkValue =
    "The value of chunk feature `name` (e.g. `\"ChunkExposureTime\"`) as `frame` carries it, by the\n"
    "feature's kind (int, float, bool, or str). The description's chunk port registers read the\n"
    "frame's chunk data (`frame.chunks`), every other node the camera. Raises `GenicamError`\n"
    "when the frame does not carry the chunk (chunk mode off, the chunk not enabled, an\n"
    "incomplete frame).";
inline constexpr const char* kSetFloat = "Write a float feature.";
inline constexpr const char* kFloatBounds = "`(minimum, maximum)` of a float feature.";
inline constexpr const char* kGetBoolean = "The value of a boolean feature.";
inline constexpr const char* kSetBoolean = "Write a boolean feature.";
inline constexpr const char* kGetString = "The value of a string feature.";
inline constexpr const char* kSetString = "Write a string feature.";
inline constexpr const char* kGetEnum = "The name of the current entry of an enumeration feature.";
inline constexpr const char* kSetEnum = "Select the entry named `entry` of an enumeration feature.";
inline constexpr const char* kEnumEntries = "The entry names of an enumeration feature, in description order.";
inline constexpr const char* kExecute = "Execute a command feature.";
inline constexpr const char* kAccessMode = "The effective access mode of a feature.";
inline constexpr const char* kInvalidateCaches =
    "Forget every cached register value, so the next read of each goes to the\n"
    "device.";

}  // namespace korvalite::py::doc
