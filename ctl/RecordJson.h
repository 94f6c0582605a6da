// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "wire/KextRecord.h"

#include <QByteArray>
#include <cstddef>

// One record of the filter service as one line of JSON, for `quilvanectl watch`: the fields a
// script needs (time, direction, verdict, pid, uid, exe, script, the host name the program looked
// up for the address when the service knows it, remote address and port), with
// the same names as the journal's QUILVANE_* fields in lower case. Nothing for a record that is not
// a connection or an attempt (an unknown command, an unknown family).
class RecordJson final {
public:
    static QByteArray line(const Quilvane::Wire::RecordBuffer& record, std::size_t length,
                           qint64 msecsSinceEpoch);
};
