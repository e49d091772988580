#pragma once
#include <QCoreApplication>
#include <QString>

namespace Recording {

// The library's messages share one translation context, whichever file writes them.
inline QString tr(const char *text)
{
    return QCoreApplication::translate("Recording", text);
}

} // namespace Recording
