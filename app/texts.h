// Texts of the main window that several of its files show.
#pragma once

#include <QString>

namespace kelda::texts {

// Title of the main window's message boxes and dialogs, and the product name.
inline QString title()
{
    return QStringLiteral("KELDA");
}
// The window title names the setup file after this prefix.
inline QString titlePrefix()
{
    return QStringLiteral("KELDA - ");
}
inline QString setupFilter()
{
    return QStringLiteral("KELDA setups (*.kelda);;All files (*.*)");
}

}  // namespace kelda::texts
