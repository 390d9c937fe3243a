#include "base/Log.h"
#include "sim/SimDaemon.h"

#include <QGuiApplication>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

SimDaemon* s_daemon = nullptr;
volatile std::sig_atomic_t s_stopRequested = 0;

void handleSignal(int)
{
    s_stopRequested = 1;
    if (s_daemon) {
        s_daemon->requestStop();
    }
}

constexpr const char* HELP = R"(Usage: torvane-simd --socket PATH --state DIR [--profile NAME|FILE]...
       torvane-simd ctl --socket PATH COMMAND [ARGS]...

Simulated iPhones behind a usbmuxd-compatible unix socket. Point a client at them with
USBMUXD_SOCKET_ADDRESS=UNIX:PATH. Each --profile attaches one phone (built-in: demo, modern,
legacy, or a JSON file); their state lives in DIR and survives restarts.

Options:
  --socket PATH     the socket to listen on
  --state DIR       the folder that keeps the phones' state
  --profile NAME    attach a phone of this profile at start (repeatable)
  -h, --help        show this help and exit
  --version         show the version and exit

Control commands (ctl), sent to a running simulator:
  list                        the phones, their state and faults
  attach UDID|PROFILE         plug a phone in (a new profile is loaded first)
  detach UDID                 pull its cable
  storage UDID                its storage model's figures
  trust UDID STATE            whether it trusts this computer: trusted, passcode-locked,
                                dialog-pending, denied or forgotten
  fault UDID KIND [ARGS]      inject a fault until cleared; KIND [ARGS] is one of
                                close-after BYTES, afc-status OPERATION STATUS,
                                afc-cut-reply OPERATION, stall [MS], afc-lock-wait MS,
                                refuse-session, refuse-services [ERROR], network-only,
                                split-writes MS [EVERY], link-rate MB_PER_S (0: unlimited),
                                installer-error COMMAND ERROR,
                                installer-cut-reply COMMAND [after|before] (once)
  clear-faults UDID           remove every fault of the phone
)";

int badUsage(const std::string& reason)
{
    std::fprintf(stderr, "torvane-simd: %s (see torvane-simd --help)\n", reason.c_str());
    return 2;
}

int runControl(int argc, char** argv)
{
    std::string socketPath;
    std::vector<std::string> words;
    for (int i = 2; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--socket" && i + 1 < argc) {
            socketPath = argv[++i];
        } else {
            words.push_back(argument);
        }
    }
    if (socketPath.empty() || words.empty()) {
        return badUsage("ctl needs --socket PATH and a command");
    }
    const std::string controlPath = SimDaemon::controlSocketPath(socketPath).string();
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (controlPath.size() >= sizeof(address.sun_path)) {
        std::fprintf(stderr, "torvane-simd ctl: socket path too long\n");
        return 1;
    }
    std::strncpy(address.sun_path, controlPath.c_str(), sizeof(address.sun_path) - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::fprintf(stderr, "torvane-simd ctl: cannot reach %s: %s\n", controlPath.c_str(), std::strerror(errno));
        return 1;
    }
    std::string request;
    for (const std::string& word : words) {
        request += word + "\n";
    }
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size())) {
        std::fprintf(stderr, "torvane-simd ctl: send failed\n");
        return 1;
    }
    ::shutdown(fd, SHUT_WR);
    std::string reply;
    char buffer[4096];
    for (;;) {
        pollfd pfd { fd, POLLIN, 0 };
        // Attaching a phone for the first time generates its content, which takes a while on a
        // busy machine.
        if (::poll(&pfd, 1, 60000) <= 0) {
            std::fprintf(stderr, "torvane-simd ctl: no answer\n");
            return 1;
        }
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) {
            break;
        }
        reply.append(buffer, std::size_t(got));
    }
    ::close(fd);
    if (reply.rfind("OK\n", 0) == 0) {
        std::fputs(reply.c_str() + 3, stdout);
        return 0;
    }
    std::fprintf(stderr, "torvane-simd ctl: %s", reply.empty() ? "no answer\n" : reply.c_str());
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 2 && std::string(argv[1]) == "ctl") {
        for (int i = 2; i < argc; ++i) {
            if (std::string(argv[i]) == "-h" || std::string(argv[i]) == "--help") {
                std::fputs(HELP, stdout);
                return 0;
            }
        }
        return runControl(argc, argv);
    }
    // Answered before Qt starts, so they need nothing but a terminal.
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "-h" || argument == "--help") {
            std::fputs(HELP, stdout);
            return 0;
        }
        if (argument == "--version") {
            std::printf("torvane-simd %s\n", TORVANE_VERSION);
            return 0;
        }
    }
    SimDaemon::Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument != "--socket" && argument != "--state" && argument != "--profile") {
            return badUsage(argument.starts_with('-') ? "unknown option '" + argument + "'"
                                                      : "unexpected argument '" + argument + "'");
        }
        if (i + 1 >= argc) {
            return badUsage(argument + " needs a value");
        }
        if (argument == "--socket") {
            options.socketPath = argv[++i];
        } else if (argument == "--state") {
            options.stateDir = argv[++i];
        } else {
            options.profiles.emplace_back(argv[++i]);
        }
    }
    if (options.socketPath.empty() || options.stateDir.empty()) {
        return badUsage("--socket PATH and --state DIR are required");
    }
    // Qt is used for JSON and images only. A GUI application (never shown: offscreen unless the
    // caller chose a platform) lets icons and screenshots carry real text. It starts after the
    // command line is read, so a bad option costs one line and nothing else.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QGuiApplication application(argc, argv);
    std::signal(SIGPIPE, SIG_IGN);
    // Handlers first: a client may see the socket, and stop the daemon, as soon as it is bound.
    struct sigaction action
    {
    };
    action.sa_handler = handleSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    SimDaemon daemon;
    std::string error;
    if (!daemon.start(options, &error)) {
        std::fprintf(stderr, "torvane-simd: %s\n", error.c_str());
        return 1;
    }
    s_daemon = &daemon;
    if (s_stopRequested) {
        daemon.requestStop(); // asked before the daemon could hear it
    }
    logLine(LOG_SIM, "Listening on %s", options.socketPath.c_str());
    daemon.run();
    s_daemon = nullptr;
    // Everything is saved and every connection was shut down; a client thread still unwinding
    // must not race the devices' destruction, so leave without tearing them down.
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(0);
}
