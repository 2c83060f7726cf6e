#pragma once
// Where a camera's connection stands: none, live, or ended (its control worker gone).
namespace korvalite::device {

enum class ConnectionState { Disconnected, Connected, Dead };

}  // namespace korvalite::device
