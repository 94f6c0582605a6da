// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

class Storyboard;

// Registers every scene of the application's "Main" storyboard: the two window controllers, the error
// view and the panes. The content of each window comes with its window controller.
void registerMainStoryboard(Storyboard& storyboard);
