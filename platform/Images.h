// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QIcon>
#include <QString>
#include <optional>

// Named images of the application's own resources (":/images/<name>.png").
class Images final {
public:
    Images() = delete;

    // The image, or absent when the resources hold none of that name.
    static std::optional<QIcon> imageNamed(const QString& name);
};
