// A real lx2-emulator on a pseudo-terminal of its own, for the ECU tests.
#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTest>

class EmulatorProcess
{
public:
    EmulatorProcess() = default;
    EmulatorProcess(const EmulatorProcess &) = delete;
    EmulatorProcess &operator=(const EmulatorProcess &) = delete;
    ~EmulatorProcess() { stop(); }

    // Starts the emulator with these options; the path of its terminal is
    // the first line it prints.
    bool start(const QStringList &args)
    {
        process_.setProgram(QStringLiteral(KELDA_EMULATOR));
        process_.setArguments(args);
        process_.setProcessChannelMode(QProcess::SeparateChannels);
        process_.start();
        if (!process_.waitForStarted(5000))
            return false;
        for (int i = 0; i < 100 && !process_.canReadLine(); ++i)
            process_.waitForReadyRead(100);
        if (!process_.canReadLine())
            return false;
        path_ = QString::fromLocal8Bit(process_.readLine()).trimmed();
        return !path_.isEmpty();
    }

    void stop()
    {
        if (process_.state() != QProcess::NotRunning) {
            process_.terminate();
            if (!process_.waitForFinished(3000)) {
                process_.kill();
                process_.waitForFinished(3000);
            }
        }
    }

    QString path() const { return path_; }
    QProcess &process() { return process_; }
    bool isRunning() const { return process_.state() == QProcess::Running; }

private:
    QProcess process_;
    QString path_;
};

inline QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline bool writeAll(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

// A byte pattern that no two offsets share within 251 bytes, so shifted or
// truncated copies show.
inline QByteArray patternImage(int size, int seed = 7)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 13 + seed) % 251);
    return bytes;
}

// The library sees only the ports and RUNE files the test names.
inline void isolateCorla(const QString &configDir)
{
    qputenv("CORLA_NO_SYSTEM_PORTS", "1");
    qputenv("CORLA_EXTRA_PORTS", "");
    qputenv("CORLA_PORTS_FILE", QFile::encodeName(configDir + QStringLiteral("/no-ports-file")));
    qputenv("CORLA_RUNE_PATH",
            QFile::encodeName(QStringLiteral(KELDA_RUNES) + QLatin1Char(':') + QStringLiteral(KELDA_TEST_DATA)
                              + QStringLiteral("/ecu/runes-lower")));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(configDir));
}

inline void setPorts(const QStringList &paths)
{
    qputenv("CORLA_EXTRA_PORTS", QFile::encodeName(paths.join(QLatin1Char(':'))));
}
