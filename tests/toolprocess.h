#ifndef TOOLPROCESS_H
#define TOOLPROCESS_H

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QTest>

#include <sys/resource.h>
#include <unistd.h>

// How long a test waits for something that should happen. A passing run never waits this long
// and a failing one may: sanitizers and a busy machine slow things tenfold, so it is generous.
constexpr int PatienceMs = 30000;

// CPU seconds this process has used so far.
inline double ownCpuSeconds()
{
    rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// This process's resident size.
inline long residentKiB()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields.at(1).toLong() * (sysconf(_SC_PAGESIZE) / 1024) : 0;
}

// A companion tool, the simulator by default, as a separate process, with its output
// collected line by line.
class ToolProcess
{
public:
    explicit ToolProcess(const char *tool = "zorvan-kit")
        : m_program(program(tool))
    { }

    static QString program(const char *tool = "zorvan-kit")
    {
        // Built next to the tests.
        return QCoreApplication::applicationDirPath() + QLatin1Char('/') + QLatin1String(tool);
    }

    ~ToolProcess()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(3000))
                m_process.kill();
            m_process.waitForFinished(1000);
        }
    }

    // Starts the tool on a free local port and waits until it says where it listens.
    bool start(const QStringList &arguments)
    {
        m_process.start(m_program, QStringList { "--listen", "127.0.0.1:0" } + arguments);
        if (!m_process.waitForStarted(PatienceMs))
            return false;
        const bool serial = arguments.contains(QStringLiteral("--serial"));
        return waitFor([&] { return port() != 0 && (!serial || !serialPath().isEmpty()); },
                       PatienceMs);
    }

    QStringList lines()
    {
        m_buffer += m_process.readAllStandardOutput();
        int end;
        while ((end = m_buffer.indexOf('\n')) >= 0) {
            m_lines << QString::fromUtf8(m_buffer.left(end));
            m_buffer.remove(0, end + 1);
        }
        return m_lines;
    }

    // What the tool wrote on stderr so far, line by line.
    QStringList errorLines()
    {
        m_errors += m_process.readAllStandardError();
        return QString::fromUtf8(m_errors).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    quint16 port()
    {
        const QRegularExpression re(QStringLiteral("^listening: .*:(\\d+)$"));
        for (const QString &line : lines()) {
            const auto match = re.match(line);
            if (match.hasMatch())
                return quint16(match.captured(1).toUInt());
        }
        return 0;
    }

    // The terminal the kit offers now: after a hang-up it offers a new one.
    QString serialPath()
    {
        static const QRegularExpression re(QStringLiteral("^serial: (/\\S+)$"));
        QString path;
        for (const QString &line : lines()) {
            const auto match = re.match(line);
            if (match.hasMatch())
                path = match.captured(1);
        }
        return path;
    }

    QStringList frames()
    {
        static const QRegularExpression hex(QStringLiteral("^[0-9a-f]{104}$"));
        return lines().filter(hex);
    }

    template<typename Predicate> bool waitFor(Predicate done, int timeoutMs)
    {
        QElapsedTimer clock;
        clock.start();
        while (!done()) {
            if (clock.elapsed() > timeoutMs)
                return false;
            QTest::qWait(10);
        }
        return true;
    }

    bool waitForExit(int timeoutMs, int status = 0)
    {
        return waitFor([&] { return m_process.state() == QProcess::NotRunning; }, timeoutMs)
            && m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == status;
    }

    QProcess &process() { return m_process; }

    // CPU seconds the tool has used so far, in the 10 ms ticks the system counts.
    double cpuSeconds() const
    {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(m_process.processId()));
        if (!stat.open(QIODevice::ReadOnly))
            return 0;
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        return double(fields.value(11).toLongLong() + fields.value(12).toLongLong())
            / double(sysconf(_SC_CLK_TCK));
    }

private:
    QString m_program;
    QProcess m_process;
    QByteArray m_buffer;
    QByteArray m_errors;
    QStringList m_lines;
};

#endif // TOOLPROCESS_H
