// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "tests/support/QtPrinters.h"

#include <QString>
#include <QTemporaryDir>
#include <chrono>
#include <functional>

// The process-wide test environment: a temporary home with its own XDG folders, set before any
// test runs, so that no test reads or writes the real user's settings or data.
namespace TestEnvironment {

// The temporary home folder ($HOME; $XDG_CONFIG_HOME and $XDG_DATA_HOME lie inside it).
QString homePath();

// Runs the Qt event loop until `condition` holds or `timeout` passes; returns the last answer.
bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

// Runs the Qt event loop for `duration`.
void spin(std::chrono::milliseconds duration);

// Returns true when the process runs as root; privileged tests skip otherwise.
bool isRoot();

} // namespace TestEnvironment
