// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

// The one step behind every way of adding applications to the firewall pane (the open panel and
// drops): make an App from a file path and block it. A path that names no bundle with an executable
// and no executable is skipped without a word; the pane's rows follow from the block list's
// appBlocked() call, never from this function.
//
// Returns whether an App could be made (and was handed to the block list).
bool blockByPath(const QString& path);
