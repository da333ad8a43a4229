// The device services the modes use: screenshot capture and the foreground app.
#pragma once

#include "device/adb/apps.hpp"
#include "device/adb/screenshot.hpp"
