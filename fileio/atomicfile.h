// Replacing a file so that a failure at any point leaves the old one
// byte-identical and a power loss after success cannot lose the new one;
// reading an input so that nothing can make it block or grow without bound.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace kelda::fileio {

// Writes bytes to a temporary file in the folder of path, checks every write
// and reads the file back, syncs it, renames it over path and syncs the
// folder. A link at path is followed, so the file it names is replaced. An
// existing path that is not a regular file (a folder, a device, a pipe), or
// that this process may not write, is refused before anything is written.
// On failure the temporary file is removed, path is untouched, error (may be
// null) receives "cannot write PATH: <why>" with PATH as given and reason (may
// be null) the <why> alone: the cause in the user's words ("the folder out
// does not exist") or the system's ("No space left on device", "File too
// large"). The one failure after the rename, a folder that cannot be synced,
// is reported too: the new file is then in place but may not survive a power
// loss.
//
// The temporary file is ".NAME.kelda-PID-XXXXXX" beside the target (NAME
// shortened, with a hash, where the name limit of the file system demands
// it). Such files of this target left by a killed writer are removed by the
// next write: those whose process no longer runs, and any older than an hour.
bool writeAtomically(const QString &path, const QByteArray &bytes, QString *error, QString *reason = nullptr);

// The checks writeAtomically makes before it writes, for a command to make
// before it starts its work: the folder exists, is a folder and may be
// written; the path, if it exists, is a regular file that may be written.
// False with the cause in *reason, worded as for writeAtomically.
bool checkOutput(const QString &path, QString *reason);

// True when both paths name the same file: the same existing file (links and
// different spellings included), or, where one does not exist yet, the same
// path once links, "." and ".." are resolved.
bool sameFile(const QString &a, const QString &b);

// The first of inputs (empty ones skipped) that output would overwrite, or an
// empty string: every command refuses an output that is one of its inputs
// before it reads or writes anything. An input "-" is standard input, which
// may be the output's file (`load - -o tree.json < tree.json`).
QString clashingInput(const QString &output, const QStringList &inputs);

// Reads a whole input of at most maxBytes: a regular file, or standard input
// when path is "-". Anything else (a folder, a device, a pipe) is refused
// before it is read, so that /dev/zero cannot fill the memory and a pipe
// without a writer cannot block. False with the reason ("not a regular file",
// "larger than 64 MiB", the system's words) in *reason.
bool readInput(const QString &path, qint64 maxBytes, QByteArray *bytes, QString *reason);

// "64 MiB", "512 bytes": a limit as the messages above give it.
QString sizeText(qint64 bytes);

}  // namespace kelda::fileio
