// SPDX-License-Identifier: GPL-3.0-or-later
#include "events/EventCodes.h"

QByteArray eventMessage(quint32 code)
{
    if (code < EVENT_CODE_COUNT)
        return QByteArray(EVENT_CODES[code].message);
    return " Unknown event " + QByteArray::number(code);
}
