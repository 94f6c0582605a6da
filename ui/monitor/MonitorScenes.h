// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

class Storyboard;

// Registers the monitor's two scenes, "monitorViewController" and "connectionsViewController", on a
// storyboard (the application's "Main" one, or a test's own).
void registerMonitorScenes(Storyboard& storyboard);
