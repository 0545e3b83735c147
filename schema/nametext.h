// How a name the user typed is printed where one item must stay on one line
// or a file must stay valid: names may hold any character, including quotes,
// line feeds and other control characters.
#pragma once

#include <QString>

namespace kelda {

// Control characters as \n, \r, \t or \xHH; with quotes, also " as \" and \ as
// \\. Everything else stays as typed.
inline QString escapedName(const QString &name, bool quotes = true)
{
    QString out;
    out.reserve(name.size());
    for (const QChar c : name) {
        const char16_t u = c.unicode();
        if (quotes && (u == u'"' || u == u'\\')) {
            out += QLatin1Char('\\');
            out += c;
        } else if (u == u'\n') {
            out += QLatin1String("\\n");
        } else if (u == u'\r') {
            out += QLatin1String("\\r");
        } else if (u == u'\t') {
            out += QLatin1String("\\t");
        } else if (u < 0x20 || (u >= 0x7F && u < 0xA0)) {
            out += QLatin1String("\\x") + QString::number(u, 16).rightJustified(2, QLatin1Char('0')).toUpper();
        } else {
            out += c;
        }
    }
    return out;
}

// A name as a label in a picture, a report or a comment: control characters
// made visible, quotes as typed.
inline QString visibleName(const QString &name)
{
    return escapedName(name, false);
}

}  // namespace kelda
