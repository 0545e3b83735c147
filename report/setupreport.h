// The setup report: one document for the people who wire a vehicle, as
// self-contained HTML and as PDF laid out from the same HTML by QTextDocument
// and QPdfWriter (QtGui, no widgets: headless on the offscreen platform).
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include "setupfacts.h"

namespace kelda::report {

// Anchors of the sections (id attributes), in document order.
inline constexpr const char *kSectionIds[] = {"cover", "channels", "keypad", "switches",
                                              "can",   "logic",    "leds",   "options"};

// The revision block of the cover. Never guessed: what is not given prints as
// an empty field for the installer to fill in by hand.
struct Revision {
    QString vehicle;
    QString revision;
    QString author;
};

// "2024-05-17 08:30 UTC+02:00 (CEST)": the date as the cover shows it.
QString dateText(const QDateTime &date);

// The report as one HTML page with its own style sheet; `date` is the date it shows.
QString reportHtml(const SetupFacts &facts, const QDateTime &date, const Revision &revision = {});

// The HTML laid out on A4 pages. Needs a QGuiApplication; empty without one.
QByteArray reportPdf(const QString &html, const QString &title);

// One event as a sentence: "3. Beacons on — when Keypad 1 is short-pressed
// and state Work lights is clear: set Beacons, start Timer 1."
QString eventSentence(const SetupFacts &facts, const Event &event);

enum class ReportFormat { Pdf, Html, Unknown };
// By the file name's extension: .pdf, .html or .htm (any case).
ReportFormat reportFormat(const QString &path);

// Writes the report of the session's setup (read from setupFile, empty when
// never saved) to path, PDF or HTML by its extension, replacing the file
// atomically. False with the reason in error.
bool writeReport(StoreSession session, const QString &setupFile, const QString &path, QString *error,
                 const QDateTime &date = QDateTime::currentDateTime(), const Revision &revision = {});

}  // namespace kelda::report
