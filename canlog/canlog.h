// CAN log files: readers for candump -l, ASC, TRC (1.1, 1.3, 2.0, 2.1) and
// CSV logs, and a candump -l writer. Reading is streamed line by line, so a
// log of any size needs constant memory. A line that cannot be read is
// reported with its file, line and reason, and reading goes on.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

class QIODevice;

namespace kelda::canlog {

enum class Format { Unknown, Candump, Asc, Trc, Csv };
QString formatName(Format f);

struct Frame {
    qint64 timeNs = 0;  // as the log gives it (seconds since its epoch or start)
    QByteArray channel;  // "can0", "1", ... (empty when the log has none)
    uint32_t id = 0;
    bool extended = false;
    bool remote = false;
    bool fd = false;
    uint8_t length = 0;  // data bytes (for a remote frame: the requested length)
    std::array<uint8_t, 64> data{};
};

struct Problem {
    QString file;
    qint64 line = 0;
    QString reason;
    QString text() const;  // "file:line: reason"
};

struct Counts {
    qint64 lines = 0;
    qint64 frames = 0;  // returned by next(), of which:
    qint64 extended = 0;
    qint64 remote = 0;
    qint64 fd = 0;
    qint64 errorFrames = 0;  // recognised, not returned
    qint64 problems = 0;
};

// The format by suffix (.log, .asc, .trc, .csv), else by the first lines.
Format detectFormat(const QString &fileName, const QByteArray &head);

class Reader
{
public:
    // Problems beyond this many are counted but not kept (see onProblem).
    static constexpr int kKeptProblems = 1000;

    explicit Reader(const QString &fileName);
    bool open(QString *reason);
    Format format() const { return m_format; }
    // The next frame in file order; false at the end of the file.
    bool next(Frame &frame);

    const Counts &counts() const { return m_counts; }
    const std::vector<Problem> &problems() const { return m_problems; }
    // Called for every problem as it is found (all of them, kept or not).
    std::function<void(const Problem &)> onProblem;

    enum class Line { Frame, Other, ErrorFrame, Bad };

private:
    Line parse(std::string_view line, Frame &f, QString &why);
    Line parseAsc(std::string_view line, Frame &f, QString &why);
    Line parseTrc(std::string_view line, Frame &f, QString &why);
    Line parseCsv(std::string_view line, Frame &f, QString &why);
    void problem(const QString &why);

    QString m_fileName;
    QFile m_file;
    Format m_format = Format::Unknown;
    Counts m_counts;
    std::vector<Problem> m_problems;
    QByteArray m_line;
    // ASC: numbers in hex or decimal, times absolute or relative to the last.
    bool m_ascDecimal = false;
    bool m_ascRelative = false;
    qint64 m_ascLast = 0;
    // TRC: version and, from 2.0, the columns.
    int m_trcVersion = 10;  // 1.0 unless the file says otherwise
    QByteArray m_trcColumns;
    qint64 m_trcStartNs = 0;
    bool m_csvHeaderSeen = false;
};

// candump -l lines: "(seconds.micro) channel id#data".
class CandumpWriter
{
public:
    explicit CandumpWriter(QIODevice *out) : m_out(out) { }
    bool write(const Frame &f);  // false when the device refused the bytes
    static QByteArray line(const Frame &f);

private:
    QIODevice *m_out;
};

}  // namespace kelda::canlog
