// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

// The machine a benchmark ran on, in one line that a reader can set beside its figures:
// "<cpu model>, <n> cores, Linux <release>". The CPU model comes from /proc/cpuinfo ("unknown CPU"
// where it cannot be read), the cores are the hardware threads the scheduler offers.
std::string machineDescription();
