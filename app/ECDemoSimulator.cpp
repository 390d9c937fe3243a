#include "app/ECDemoSimulator.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>

#include <csignal>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <unistd.h>

ECDemoSimulator::~ECDemoSimulator()
{
    stop();
}

QString ECDemoSimulator::findSimulator(const QString& applicationDir)
{
    const QString name = QStringLiteral("torvane-simd");
    for (const QString& candidate :
        { QDir(applicationDir).filePath(name), QDir(applicationDir).filePath(QStringLiteral("../sim/") + name) }) {
        const QFileInfo info(candidate);
        if (info.isFile() && info.isExecutable()) {
            return info.canonicalFilePath();
        }
    }
    return QStandardPaths::findExecutable(name);
}

bool ECDemoSimulator::start(
    const QString& simulator, const QString& profile, QString* error, const std::function<bool()>& givenUp)
{
    stop();
    m_folder = std::make_unique<QTemporaryDir>(QDir::temp().filePath(QStringLiteral("torvane-demo-XXXXXX")));
    if (!m_folder->isValid()) {
        *error = QStringLiteral("cannot create a temporary folder: %1").arg(m_folder->errorString());
        return false;
    }
    m_socketPath = m_folder->filePath(QStringLiteral("usbmuxd.sock"));
    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::ForwardedChannels);
    // Should Torvane be killed outright, the simulator must not live on without it: the kernel
    // sends it SIGTERM when its parent goes (and a parent gone before that is caught here).
    const pid_t parent = ::getpid();
    m_process->setChildProcessModifier([parent] {
        if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || ::getppid() != parent) {
            ::_exit(127);
        }
    });
    m_process->start(simulator,
        { QStringLiteral("--socket"), m_socketPath, QStringLiteral("--state"), stateFolder(profile),
            QStringLiteral("--profile"), profile });
    if (!m_process->waitForStarted(5000)) {
        *error = QStringLiteral("cannot start %1: %2").arg(simulator, m_process->errorString());
        stop();
        return false;
    }
    // The socket appears once the simulator listens: after it has generated the demo phone's
    // content, about a second, much longer on a busy machine.
    const QDeadlineTimer deadline(60000);
    while (!QFileInfo::exists(m_socketPath)) {
        if (m_process->state() != QProcess::Running && !m_keptState.isEmpty()) {
            // The kept phone would not load: a simulator left running without us still has it, or
            // it was cut off mid-write. This start gets a new phone of its own; a kept phone that
            // nobody uses is removed, so the next start keeps a sound one again.
            const QString kept = m_keptState;
            stop();
            if (!stateInUse(kept)) {
                QDir(kept).removeRecursively();
            }
            m_keptStateRefused = true;
            const bool started = start(simulator, profile, error);
            m_keptStateRefused = false;
            return started;
        }
        if (m_process->state() != QProcess::Running) {
            *error = QStringLiteral("%1 stopped at start-up").arg(simulator);
            stop();
            return false;
        }
        if (givenUp && givenUp()) {
            *error = QStringLiteral("stopped while %1 was starting").arg(simulator);
            stop();
            return false;
        }
        if (deadline.hasExpired()) {
            *error = QStringLiteral("%1 did not open its socket").arg(simulator);
            stop();
            return false;
        }
        m_process->waitForFinished(20);
    }
    return true;
}

QString ECDemoSimulator::stateFolder(const QString& profile)
{
    // By default the demo phone lives and dies with the temporary folder, so trying Torvane
    // leaves nothing behind. Given TORVANE_DEMO_STATE, the phone of a built-in profile is kept
    // there: a later start then needs neither new content (a second or more) nor a new pairing,
    // as with a real phone this computer already trusts.
    static const QRegularExpression builtIn(QStringLiteral("^[a-z]+$"));
    const QString keptRoot = qEnvironmentVariable("TORVANE_DEMO_STATE");
    const QString kept = keptRoot + QStringLiteral("/demo-") + profile;
    if (!keptRoot.isEmpty() && !m_keptStateRefused && builtIn.match(profile).hasMatch() && QDir().mkpath(kept)) {
        auto lock = std::make_unique<QLockFile>(kept + QStringLiteral("/lock"));
        if (lock->tryLock(0)) {
            m_stateLock = std::move(lock);
            m_keptState = kept + QStringLiteral("/state");
            return m_keptState;
        }
    }
    return m_folder->filePath(QStringLiteral("state"));
}

bool ECDemoSimulator::stateInUse(const QString& state)
{
    // The simulator holds a lock on its state folder's "daemon.lock" while it runs.
    const int fd = ::open(QFile::encodeName(state + QStringLiteral("/daemon.lock")).constData(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool inUse = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
    ::close(fd);
    return inUse;
}

QString ECDemoSimulator::socketAddress() const
{
    return QStringLiteral("UNIX:") + m_socketPath;
}

QString ECDemoSimulator::filePath(const QString& name) const
{
    return m_folder && m_process ? m_folder->filePath(name) : QString();
}

void ECDemoSimulator::stop()
{
    if (m_process && m_process->state() != QProcess::NotRunning) {
        m_process->terminate();
        if (!m_process->waitForFinished(5000)) {
            m_process->kill();
            m_process->waitForFinished(2000);
        }
    }
    m_process.reset();
    m_stateLock.reset();
    m_keptState.clear();
    m_folder.reset();
}
