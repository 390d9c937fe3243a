#pragma once

#include <QLockFile>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <functional>
#include <memory>

/// The simulated iPhone that ships beside the application, started for `torvane --demo`: the
/// demo phone in a temporary folder behind a temporary socket, stopped (and the folder removed)
/// when the application ends. The simulator also ends when the application dies without
/// stopping it.
class ECDemoSimulator
{
public:
    ECDemoSimulator() = default;
    /// Stops the simulator if it runs.
    ~ECDemoSimulator();
    ECDemoSimulator(const ECDemoSimulator&) = delete;
    ECDemoSimulator& operator=(const ECDemoSimulator&) = delete;

    /// torvane-simd next to the application, else in the build tree's sim/ folder, else on PATH;
    /// empty when none is found.
    static QString findSimulator(const QString& applicationDir);

    /// Starts `simulator` with `profile` and waits (bounded) for its socket. False with `error`
    /// set when it cannot start, or when `givenUp` answers true while it waits.
    bool start(
        const QString& simulator, const QString& profile, QString* error, const std::function<bool()>& givenUp = {});
    /// "UNIX:<socket>", the value for USBMUXD_SOCKET_ADDRESS.
    QString socketAddress() const;
    /// A path inside the demo's temporary folder, which goes when the simulator stops; empty
    /// when it does not run.
    QString filePath(const QString& name) const;
    void stop();

private:
    std::unique_ptr<QTemporaryDir> m_folder;
    std::unique_ptr<QProcess> m_process;
    QString m_socketPath;
    // Held while the simulator runs on the kept demo phone, so a second demo gets its own.
    std::unique_ptr<QLockFile> m_stateLock;
    // The kept phone's state folder while the simulator runs on it; empty otherwise.
    QString m_keptState;
    bool m_keptStateRefused { false };

    /// The state folder for `profile`: with TORVANE_DEMO_STATE set, the kept one of a built-in
    /// profile when no other demo uses it; else one in the temporary folder.
    QString stateFolder(const QString& profile);
    /// True while a simulator runs on `state`.
    static bool stateInUse(const QString& state);
};
