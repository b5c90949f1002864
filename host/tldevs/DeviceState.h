#pragma once

// State of a host device. The driver waits while a device is Busy and marks a lost link Error.
enum class DeviceState : int { Off = 0, Busy = 1, Ready = 2, Standby = 3, Error = 4 };
