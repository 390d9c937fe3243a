#include "device/AFCDirectoryAccess.h"

#include "base/Log.h"
#include "base/NotificationCenter.h"
#include "device/AFCPacket.h"
#include "device/AFCTreeOperations.h"
#include "device/AMSocketConnection.h"
#include "tests/support/TestSupport.h"

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string u64(std::uint64_t value)
{
    std::string out;
    appendUInt64LE(out, value);
    return out;
}

std::string packet(std::uint64_t number, AFCOpcode operation, const std::string& payload)
{
    AFCPacketHeader header;
    header.packetNumber = number;
    header.operation = static_cast<std::uint64_t>(operation);
    header.entireLength = AFC_HEADER_SIZE + payload.size();
    header.thisLength = operation == AFCOpcode::Data ? AFC_HEADER_SIZE : header.entireLength;
    const auto head = encodeAFCHeader(header);
    return std::string(reinterpret_cast<const char*>(head.data()), head.size()) + payload;
}

std::string strings(std::initializer_list<std::string> items)
{
    std::string out;
    for (const auto& item : items) {
        appendCString(out, item);
    }
    return out;
}

/// One request as the peer saw it.
struct Request
{
    AFCOpcode operation;
    std::string arguments; // everything after the header
    std::uint64_t number;

    /// The first NUL-terminated string after `offset` bytes.
    std::string path(std::size_t offset = 0) const { return std::string(arguments.c_str() + offset); }
    std::uint64_t number64(std::size_t offset) const
    {
        return readUInt64LE(reinterpret_cast<const std::uint8_t*>(arguments.data()) + offset);
    }
};

/// What the peer sends back: bytes, and whether to hang up afterwards.
struct Answer
{
    std::string bytes;
    bool hangUp = false;
};

/// Plays an AFC device on one end of a socket pair: each request goes to the handler, whose
/// answer is written back. Runs on its own thread.
class FakeAFCPeer
{
public:
    using Handler = std::function<Answer(const Request&)>;

    explicit FakeAFCPeer(Handler handler)
        : m_handler(std::move(handler))
    {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        m_clientFd = fds[0];
        m_peerFd = fds[1];
        m_thread = std::thread([this] { serve(); });
    }

    ~FakeAFCPeer()
    {
        ::shutdown(m_peerFd, SHUT_RDWR);
        m_thread.join();
        ::close(m_peerFd);
    }

    /// The client end, to hand to the code under test (once).
    std::unique_ptr<AMServiceConnection> takeConnection() { return std::make_unique<AMSocketConnection>(m_clientFd); }

    std::vector<Request> requests() const
    {
        std::lock_guard lock(m_mutex);
        return m_requests;
    }
    std::size_t requestCount() const { return requests().size(); }

private:
    bool readExactly(char* buffer, std::size_t size)
    {
        while (size > 0) {
            const ssize_t count = ::read(m_peerFd, buffer, size);
            if (count <= 0) {
                return false;
            }
            buffer += count;
            size -= static_cast<std::size_t>(count);
        }
        return true;
    }

    void serve()
    {
        for (;;) {
            std::uint8_t head[AFC_HEADER_SIZE];
            if (!readExactly(reinterpret_cast<char*>(head), sizeof head)) {
                return;
            }
            const AFCPacketHeader header = decodeAFCHeader(head);
            std::string arguments(header.entireLength - AFC_HEADER_SIZE, '\0');
            if (!readExactly(arguments.data(), arguments.size())) {
                return;
            }
            Request request { static_cast<AFCOpcode>(header.operation), std::move(arguments), header.packetNumber };
            {
                std::lock_guard lock(m_mutex);
                m_requests.push_back(request);
            }
            const Answer answer = m_handler(request);
            const char* data = answer.bytes.data();
            std::size_t left = answer.bytes.size();
            while (left > 0) {
                const ssize_t count = ::write(m_peerFd, data, left);
                if (count <= 0) {
                    return;
                }
                data += count;
                left -= static_cast<std::size_t>(count);
            }
            if (answer.hangUp) {
                ::shutdown(m_peerFd, SHUT_RDWR);
                return;
            }
        }
    }

    Handler m_handler;
    int m_clientFd = -1;
    int m_peerFd = -1;
    mutable std::mutex m_mutex;
    std::vector<Request> m_requests;
    std::thread m_thread;
};

Answer status(const Request& request, std::uint64_t code)
{
    return { packet(request.number, AFCOpcode::Status, u64(code)) };
}

Answer data(const Request& request, const std::string& payload)
{
    return { packet(request.number, AFCOpcode::Data, payload) };
}

/// A small tree served from memory: enough of AFC for listings, file information, reads and
/// writes of whole files.
class MemoryTree
{
public:
    struct Node
    {
        bool directory = false;
        std::string contents;
        std::optional<std::int64_t> mtime; // nanoseconds
    };

    void addDirectory(const std::string& path) { nodes[path] = Node { true, {}, std::nullopt }; }
    void addFile(const std::string& path, std::string contents, std::optional<std::int64_t> mtime = std::nullopt)
    {
        nodes[path] = Node { false, std::move(contents), mtime };
    }

    Answer operator()(const Request& request)
    {
        switch (request.operation) {
        case AFCOpcode::ReadDirectory: {
            const auto found = nodes.find(request.path());
            if (found == nodes.end()) {
                return status(request, AFCStatus::ObjectNotFound);
            }
            if (!found->second.directory) {
                return status(request, AFCStatus::ReadError);
            }
            std::string listing = strings({ ".", ".." });
            const std::string prefix = request.path() == "/" ? "/" : request.path() + "/";
            for (const auto& [path, node] : nodes) {
                if (path != request.path() && path.starts_with(prefix)
                    && path.find('/', prefix.size()) == std::string::npos) {
                    appendCString(listing, path.substr(prefix.size()));
                }
            }
            return data(request, listing);
        }
        case AFCOpcode::GetFileInfo: {
            const auto found = nodes.find(request.path());
            if (found == nodes.end()) {
                return status(request, AFCStatus::ObjectNotFound);
            }
            std::string info = strings({ "st_size", std::to_string(found->second.contents.size()), "st_ifmt",
                found->second.directory ? "S_IFDIR" : "S_IFREG" });
            if (found->second.mtime) {
                info += strings({ "st_mtime", std::to_string(*found->second.mtime) });
            }
            return data(request, info);
        }
        case AFCOpcode::FileOpen: {
            const std::string path = request.path(8);
            const std::uint64_t mode = request.number64(0);
            if (mode == AFCWireOpenMode::ReadOnly && !nodes.count(path)) {
                return status(request, AFCStatus::ObjectNotFound);
            }
            if (mode != AFCWireOpenMode::ReadOnly) {
                nodes[path] = Node {};
            }
            handles[++lastHandle] = { path, 0 };
            return { packet(request.number, AFCOpcode::FileOpenResult, u64(lastHandle)) };
        }
        case AFCOpcode::FileRead: {
            auto& [path, offset] = handles[request.number64(0)];
            const std::string& contents = nodes[path].contents;
            const std::string piece = offset < contents.size() ? contents.substr(offset, request.number64(8)) : "";
            offset += piece.size();
            return data(request, piece);
        }
        case AFCOpcode::FileWrite: {
            auto& [path, offset] = handles[request.number64(0)];
            nodes[path].contents += request.arguments.substr(8);
            return status(request, writeStatus);
        }
        case AFCOpcode::RemovePath:
            nodes.erase(request.path());
            return status(request, 0);
        case AFCOpcode::RenamePath: {
            const std::string from = request.path();
            const auto found = nodes.find(from);
            if (found == nodes.end()) {
                return status(request, AFCStatus::ObjectNotFound);
            }
            Node moved = found->second;
            nodes.erase(found);
            nodes[request.path(from.size() + 1)] = std::move(moved);
            return status(request, 0);
        }
        case AFCOpcode::GetDeviceInfo:
            return freeBytes ? data(request, strings({ "FSFreeBytes", std::to_string(*freeBytes) }))
                             : status(request, 0);
        default:
            return status(request, 0);
        }
    }

    std::map<std::string, Node> nodes;
    std::map<std::uint64_t, std::pair<std::string, std::size_t>> handles;
    std::uint64_t lastHandle = 0;
    std::uint64_t writeStatus = 0;
    std::optional<std::uint64_t> freeBytes;
};

std::unique_ptr<AFCDirectoryAccess> openOn(FakeAFCPeer& peer)
{
    auto afc = std::make_unique<AFCDirectoryAccess>(peer.takeConnection());
    EXPECT_TRUE(afc->openAFCConnection());
    return afc;
}

PlistDate seconds(std::int64_t value)
{
    return PlistDate { value * 1'000'000 };
}

} // namespace

TEST(AFCDirectoryAccess, TurnsDeviceStatusesIntoTheFixedTexts)
{
    struct Row
    {
        const char* name;
        std::function<bool(AFCDirectoryAccess&)> call;
        std::uint64_t status;
        const char* expected;
    };
    const Row rows[] = {
        { "unlink", [](AFCDirectoryAccess& afc) { return afc.unlink("/x"); }, 8,
            "AFCRemovePath failed: Return code = 0x0008" },
        { "mkdir", [](AFCDirectoryAccess& afc) { return afc.mkdir("/f/x"); }, 16,
            "AFCDirectoryCreate failed: Return code = 0x0010" },
        { "rename", [](AFCDirectoryAccess& afc) { return afc.rename("/a", "/b"); }, 8,
            "AFCRenamePath failed: Return code = 0x0008" },
        { "link", [](AFCDirectoryAccess& afc) { return afc.link("/l", "/t"); }, 10,
            "AFCLinkPath failed: Return code = 0x000A" },
        { "symlink", [](AFCDirectoryAccess& afc) { return afc.symlink("/l", "t"); }, 16,
            "AFCLinkPath failed: Return code = 0x0010" },
        { "file info", [](AFCDirectoryAccess& afc) { return afc.getFileInfo("/x").has_value(); }, 8,
            "AFCFileInfoOpen failed: Return code = 0x0008" },
        { "device info", [](AFCDirectoryAccess& afc) { return afc.deviceInfo().has_value(); }, 20,
            "AFCDeviceInfoOpen failed: Return code = 0x0014" },
        { "listing", [](AFCDirectoryAccess& afc) { return afc.directoryContents("/x").has_value(); }, 4,
            "AFCDirectoryOpen failed: Return code = 0x0004" },
        { "open", [](AFCDirectoryAccess& afc) { return afc.openForWrite("/d") != nullptr; }, 9,
            "AFCFileRefOpen failed: Return code = 0x0009" },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakeAFCPeer peer([&row](const Request& request) { return status(request, row.status); });
        auto afc = openOn(peer);
        EXPECT_FALSE(row.call(*afc));
        EXPECT_EQ(afc->lasterror(), row.expected);
    }
}

TEST(AFCDirectoryAccess, RefusesMissingArgumentsBeforeAnyDeviceCall)
{
    struct Row
    {
        const char* name;
        std::function<bool(AFCDirectoryAccess&)> call;
        const char* expected;
    };
    const std::nullopt_t nil = std::nullopt;
    const Row rows[] = {
        { "getFileInfo", [&](AFCDirectoryAccess& afc) { return afc.getFileInfo(nil).has_value(); },
            "Input path is nil" },
        { "fileExists", [&](AFCDirectoryAccess& afc) { return afc.fileExistsAtPath(nil); }, "Input path is nil" },
        { "contents", [&](AFCDirectoryAccess& afc) { return afc.directoryContents(nil).has_value(); },
            "Input path is nil" },
        { "recursive",
            [&](AFCDirectoryAccess& afc) { return AFCTreeOperations(afc).recursiveDirectoryContents(nil).has_value(); },
            "Input path is nil" },
        { "mkdir", [&](AFCDirectoryAccess& afc) { return afc.mkdir(nil); }, "Input path is nil" },
        { "unlink", [&](AFCDirectoryAccess& afc) { return afc.unlink(nil); }, "Input path is nil" },
        { "rename old", [&](AFCDirectoryAccess& afc) { return afc.rename(nil, "/b"); }, "Old path is nil" },
        { "rename new", [&](AFCDirectoryAccess& afc) { return afc.rename("/a", nil); }, "New path is nil" },
        { "link path", [&](AFCDirectoryAccess& afc) { return afc.link(nil, "/t"); }, "Path is nil" },
        { "link target", [&](AFCDirectoryAccess& afc) { return afc.link("/l", nil); }, "Target is nil" },
        { "symlink path", [&](AFCDirectoryAccess& afc) { return afc.symlink(nil, "t"); }, "Path is nil" },
        { "symlink target", [&](AFCDirectoryAccess& afc) { return afc.symlink("/l", nil); }, "Target is nil" },
        { "hard link target", [&](AFCDirectoryAccess& afc) { return afc.hardLinkRemoteFile(nil, "/l"); },
            "Target is nil" },
        { "hard link path", [&](AFCDirectoryAccess& afc) { return afc.hardLinkRemoteFile("/t", nil); }, "Path is nil" },
        { "setmodtime path", [&](AFCDirectoryAccess& afc) { return afc.setmodtime(nil, seconds(1)); }, "Path is nil" },
        { "setmodtime date", [&](AFCDirectoryAccess& afc) { return afc.setmodtime("/a", nil); }, "timestamp is nil" },
        { "openForRead", [&](AFCDirectoryAccess& afc) { return afc.openForRead(nil) != nullptr; },
            "Input path is nil" },
        { "openForWrite", [&](AFCDirectoryAccess& afc) { return afc.openForWrite(nil) != nullptr; },
            "Input path is nil" },
        { "openForReadWrite", [&](AFCDirectoryAccess& afc) { return afc.openForReadWrite(nil) != nullptr; },
            "Input path is nil" },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakeAFCPeer peer([](const Request& request) { return status(request, 0); });
        auto afc = openOn(peer);
        EXPECT_FALSE(row.call(*afc));
        EXPECT_EQ(afc->lasterror(), row.expected);
        EXPECT_EQ(peer.requestCount(), 0u);
    }
}

TEST(AFCDirectoryAccess, FailsEverythingAfterCloseAndStopsOpenFiles)
{
    MemoryTree tree;
    tree.addFile("/f", "hello");
    FakeAFCPeer peer(std::ref(tree));
    auto afc = openOn(peer);
    std::unique_ptr<AFCFileReference> file = afc->openForRead("/f");
    ASSERT_TRUE(file);
    afc->close();
    EXPECT_FALSE(afc->isOpen());
    EXPECT_FALSE(afc->mkdir("/a"));
    EXPECT_EQ(afc->lasterror(), "Connection is not open");
    EXPECT_FALSE(afc->getFileInfo("/f"));
    EXPECT_EQ(afc->lasterror(), "Connection is not open");
    EXPECT_FALSE(AFCTreeOperations(*afc).copyRemoteFile("/f", "/nonexistent/never"));
    EXPECT_EQ(afc->lasterror(), "Connection is not open");

    const std::size_t before = peer.requestCount();
    char buffer[8];
    EXPECT_EQ(file->readN(sizeof buffer, buffer), 0u);
    EXPECT_EQ(file->lasterror(), "File is not open");
    EXPECT_FALSE(file->isOpen());
    EXPECT_EQ(peer.requestCount(), before);
}

TEST(AFCDirectoryAccess, ConvertsFileInformation)
{
    FakeAFCPeer peer([](const Request& request) {
        return data(request,
            strings({ "st_size", "25000", "st_ifmt", "S_IFREG", "st_mtime", "1494244521999999999", "st_birthtime",
                "1494244000000000000", "st_blocks", "", "Odd", "-1", "Real", "1.5" }));
    });
    auto afc = openOn(peer);
    const std::optional<PlistDictionary> info = afc->getFileInfo("/DCIM/IMG_0001.JPG");
    ASSERT_TRUE(info);
    EXPECT_EQ(info->at("st_size"), PlistValue(std::int64_t { 25000 }));
    EXPECT_EQ(info->at("st_ifmt"), PlistValue("S_IFREG"));
    EXPECT_EQ(info->at("st_mtime"), PlistValue(seconds(1494244521)));
    EXPECT_EQ(info->at("st_birthtime"), PlistValue(seconds(1494244000)));
    EXPECT_EQ(info->at("st_blocks"), PlistValue(std::int64_t { 0 }));
    EXPECT_EQ(info->at("Odd"), PlistValue("-1"));
    EXPECT_EQ(info->at("Real"), PlistValue("1.5"));
    EXPECT_EQ(info->at("path"), PlistValue("/DCIM/IMG_0001.JPG"));
    EXPECT_FALSE(afc->lasterror());
}

TEST(AFCDirectoryAccess, KeepsTheLastErrorWhenAPathDoesNotExist)
{
    FakeAFCPeer peer([](const Request& request) {
        return status(request, request.operation == AFCOpcode::RemovePath ? 1 : AFCStatus::ObjectNotFound);
    });
    auto afc = openOn(peer);
    EXPECT_FALSE(afc->unlink("/full"));
    EXPECT_FALSE(afc->fileExistsAtPath("/missing"));
    EXPECT_EQ(afc->lasterror(), "AFCRemovePath failed: Return code = 0x0001");
}

TEST(AFCDirectoryAccess, ListsDirectoriesWithoutDotEntries)
{
    MemoryTree tree;
    tree.addDirectory("/d");
    tree.addFile("/d/.hidden", "");
    tree.addFile("/d/name", "");
    FakeAFCPeer peer(std::ref(tree));
    auto afc = openOn(peer);
    EXPECT_EQ(afc->directoryContents("/d"), (std::vector<std::string> { ".hidden", "name" }));
}

TEST(AFCDirectoryAccess, ListsTreesSortedWithDirectoriesMarked)
{
    MemoryTree tree;
    tree.addDirectory("d");
    tree.addFile("d/b", "x");
    tree.addDirectory("d/a");
    tree.addDirectory("d/C");
    tree.addFile("d/C/z", "");
    FakeAFCPeer peer(std::ref(tree));
    auto afc = openOn(peer);
    EXPECT_EQ(AFCTreeOperations(*afc).recursiveDirectoryContents("d"),
        (std::vector<std::string> { "d/", "d/C/", "d/C/z", "d/a/", "d/b" }));
    EXPECT_EQ(AFCTreeOperations(*afc).recursiveDirectoryContents("d/b"), (std::vector<std::string> { "d/b" }));
    EXPECT_FALSE(AFCTreeOperations(*afc).recursiveDirectoryContents("missing"));
    EXPECT_EQ(afc->lasterror(), "AFCDirectoryOpen failed: Return code = 0x0008");
}

TEST(AFCDirectoryAccess, MapsOpenModesOntoTheWire)
{
    MemoryTree tree;
    tree.addFile("/f", "");
    FakeAFCPeer peer(std::ref(tree));
    auto afc = openOn(peer);
    ASSERT_TRUE(afc->openForRead("/f"));
    ASSERT_TRUE(afc->openForWrite("/f"));
    ASSERT_TRUE(afc->openForReadWrite("/f"));
    std::vector<std::uint64_t> modes;
    for (const Request& request : peer.requests()) {
        if (request.operation == AFCOpcode::FileOpen) {
            modes.push_back(request.number64(0));
        }
    }
    EXPECT_EQ(modes, (std::vector<std::uint64_t> { 1, 3, 4 }));
}

TEST(AFCDirectoryAccess, WritesNothingForAnEmptyWriteAndReportsFileStatusesInDecimal)
{
    MemoryTree tree;
    tree.writeStatus = AFCStatus::NoSpaceLeft;
    FakeAFCPeer peer(std::ref(tree));
    auto afc = openOn(peer);
    std::unique_ptr<AFCFileReference> file = afc->openForWrite("/f");
    ASSERT_TRUE(file);
    const std::size_t before = peer.requestCount();
    EXPECT_TRUE(file->writeN(0, ""));
    EXPECT_EQ(peer.requestCount(), before);
    EXPECT_FALSE(file->writeN(3, "abc"));
    EXPECT_EQ(file->lasterror(), "AFCFileRefWrite failed: 18");
    EXPECT_TRUE(file->closeFile());
    EXPECT_FALSE(file->closeFile());
    EXPECT_EQ(file->lasterror(), "File is not open");
}

TEST(AFCDirectoryAccess, ReportsTheDevicesDescriptionWhenSettingATimeFails)
{
    FakeAFCPeer peer([](const Request& request) { return status(request, AFCStatus::ObjectNotFound); });
    auto afc = openOn(peer);
    EXPECT_FALSE(afc->setmodtime("/missing", seconds(1'000'000'000)));
    EXPECT_EQ(afc->lasterror(), "The device answered status 8 (" + mobileDeviceStatusText(8) + ")");
    EXPECT_EQ(afc->lastStatus(), AFCStatus::ObjectNotFound); // not the status of an earlier call
    const std::vector<Request> requests = peer.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].operation, AFCOpcode::SetFileModTime);
    EXPECT_EQ(requests[0].number64(0), 1'000'000'000'000'000'000ULL);
    EXPECT_EQ(requests[0].path(8), "/missing");
}

TEST(AFCDirectoryAccess, ReportsAReplyCutShortPromptly)
{
    FakeAFCPeer peer([](const Request& request) {
        if (request.operation == AFCOpcode::FileOpen) {
            return Answer { packet(request.number, AFCOpcode::FileOpenResult, u64(3)) };
        }
        // Declares 100 bytes, sends 90, hangs up.
        std::string reply = packet(request.number, AFCOpcode::Data, std::string(100, 'x'));
        reply.resize(reply.size() - 10);
        return Answer { reply, true };
    });
    auto afc = openOn(peer);
    std::unique_ptr<AFCFileReference> file = afc->openForRead("/f");
    ASSERT_TRUE(file);
    char buffer[100];
    LogCapture log;
    EXPECT_EQ(file->readN(sizeof buffer, buffer), 0u);
    EXPECT_EQ(file->lasterror(), "AFCFileRefRead failed: 30");
    EXPECT_EQ(afc->connectionErrorDetail(), "Reply was truncated, expected 10 more bytes");
    EXPECT_TRUE(log.contains("AFC connection failed: Reply was truncated, expected 10 more bytes"));
    // The stream is out of step: later calls fail at once without waiting for the device.
    EXPECT_FALSE(afc->mkdir("/a"));
    EXPECT_EQ(afc->lasterror(), "AFCDirectoryCreate failed: Return code = 0x001E");
}

TEST(AFCTreeOperations, CombinesScans)
{
    const PlistDate d1 = seconds(100);
    const PlistDate d2 = seconds(200);
    const PlistDictionary a { { "size", PlistValue(std::int64_t { 100 }) }, { "date", PlistValue(d1) } };
    const PlistDictionary b { { "size", PlistValue(std::int64_t { 30 }) }, { "date", PlistValue(d2) } };
    const PlistDictionary sum { { "size", PlistValue(std::int64_t { 130 }) }, { "date", PlistValue(d2) } };
    const PlistDictionary difference { { "size", PlistValue(std::int64_t { 70 }) }, { "date", PlistValue(d2) } };
    const PlistDictionary nothing { { "size", PlistValue(std::int64_t { 0 }) }, { "date", PlistValue(PlistDate {}) } };
    EXPECT_EQ(AFCTreeOperations::addScan(a, b, false), sum);
    EXPECT_EQ(AFCTreeOperations::addScan(b, a, false), sum);
    EXPECT_EQ(AFCTreeOperations::addScan(a, b, true), difference);
    EXPECT_EQ(AFCTreeOperations::addScan({}, {}, false), nothing);
    // Sizes beyond 32 bits add without wrapping.
    const PlistDictionary big { { "size", PlistValue(std::int64_t { 5'000'000'000 }) } };
    EXPECT_EQ(AFCTreeOperations::addScan(big, big, false).at("size"), PlistValue(std::int64_t { 10'000'000'000 }));
}

TEST(AFCTreeOperations, ScansTreesWithOneRequestPerEntryAndListingPerDirectory)
{
    MemoryTree tree;
    tree.addDirectory("/empty");
    tree.addDirectory("/holder");
    tree.addDirectory("/holder/inner");
    tree.addFile("/single", std::string(42, 'x'));
    tree.addDirectory("/t");
    tree.addFile("/t/a", std::string(10, 'a'), 5'000'000'000);
    tree.addDirectory("/t/s");
    tree.addFile("/t/s/b", std::string(20, 'b'), 9'999'999'999);
    tree.addDirectory("/t/s/e");
    FakeAFCPeer peer(std::ref(tree));
    auto afc = openOn(peer);

    EXPECT_EQ(AFCTreeOperations(*afc).scanPath("/empty"), PlistDictionary {});
    const PlistDictionary zero { { "size", PlistValue(std::int64_t { 0 }) }, { "date", PlistValue(PlistDate {}) } };
    EXPECT_EQ(AFCTreeOperations(*afc).scanPath("/holder"), zero);
    EXPECT_EQ(AFCTreeOperations(*afc).scanPath("/single"),
        (PlistDictionary { { "size", PlistValue(std::int64_t { 42 }) }, { "date", PlistValue(PlistDate {}) } }));

    const std::size_t before = peer.requestCount();
    EXPECT_EQ(AFCTreeOperations(*afc).scanPath("/t"),
        (PlistDictionary { { "size", PlistValue(std::int64_t { 30 }) }, { "date", PlistValue(seconds(9)) } }));
    // Entries /t, /t/a, /t/s, /t/s/b, /t/s/e: five file-information requests; three listings.
    std::size_t infos = 0;
    std::size_t listings = 0;
    const std::vector<Request> requests = peer.requests();
    for (std::size_t i = before; i < requests.size(); ++i) {
        infos += requests[i].operation == AFCOpcode::GetFileInfo;
        listings += requests[i].operation == AFCOpcode::ReadDirectory;
    }
    EXPECT_EQ(infos, 5u);
    EXPECT_EQ(listings, 3u);
    EXPECT_EQ(requests.size() - before, 8u);
}

TEST(AFCTreeOperations, DeletesContentsFirstAndKeepsTheRootWhenAsked)
{
    MemoryTree tree;
    tree.addDirectory("/d");
    tree.addFile("/d/f", "");
    tree.addDirectory("/d/s");
    tree.addFile("/d/s/g", "");
    tree.addFile("/lone", "");
    FakeAFCPeer peer(std::ref(tree));
    auto afc = openOn(peer);
    AFCTreeOperations(*afc).recursiveDeletePath("/d", false);
    AFCTreeOperations(*afc).recursiveDeletePath("/lone", false);
    std::vector<std::string> removed;
    for (const Request& request : peer.requests()) {
        if (request.operation == AFCOpcode::RemovePath) {
            removed.push_back(request.path());
        }
    }
    EXPECT_EQ(removed, (std::vector<std::string> { "/d/f", "/d/s/g", "/d/s" }));
    EXPECT_TRUE(tree.nodes.count("/d"));
    EXPECT_TRUE(tree.nodes.count("/lone"));
}

TEST(AFCTreeOperations, PostsCopyProgressPerChunk)
{
    TemporaryDirectory local;
    const std::string source = (local.path() / "source.bin").string();
    std::ofstream(source, std::ios::binary) << std::string(25000, 's');

    MemoryTree tree;
    FakeAFCPeer peer(std::ref(tree));
    auto afc = openOn(peer);
    std::vector<std::pair<std::string, PlistDictionary>> posted;
    NotificationCenter& center = NotificationCenter::defaultCenter();
    std::vector<NotificationCenter::ObserverToken> tokens;
    for (const char* name : { AFC_FILE_COPY_BEGIN, AFC_FILE_COPY_PROGRESS, AFC_FILE_COPY_DONE }) {
        tokens.push_back(center.addObserver(
            name, afc.get(), [&posted](const std::string& n, const void*, const PlistDictionary& info) {
                posted.emplace_back(n, info);
            }));
    }
    EXPECT_TRUE(AFCTreeOperations(*afc).copyLocalFileToRemoteFile(source, "/target.bin", false));
    for (auto token : tokens) {
        center.removeObserver(token);
    }
    ASSERT_EQ(posted.size(), 6u);
    EXPECT_EQ(posted.front().first, AFC_FILE_COPY_BEGIN);
    EXPECT_FALSE(posted.front().second.count("Done"));
    EXPECT_EQ(posted.front().second.at("Size"), PlistValue(std::int64_t { 25000 }));
    EXPECT_EQ(posted.front().second.at("Source"), PlistValue(source));
    EXPECT_EQ(posted.front().second.at("Target"), PlistValue("/target.bin"));
    const std::int64_t expectedDone[] = { 0, 10240, 20480, 25000 };
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(posted[1 + i].first, AFC_FILE_COPY_PROGRESS);
        EXPECT_EQ(posted[1 + i].second.at("Done"), PlistValue(expectedDone[i]));
    }
    EXPECT_EQ(posted.back().first, AFC_FILE_COPY_DONE);
    EXPECT_EQ(tree.nodes.at("/target.bin").contents, std::string(25000, 's'));
    EXPECT_FALSE(AFCTreeOperations(*afc).copyLocalFileToRemoteFile(source, "/target.bin", false));
    EXPECT_EQ(afc->lasterror(), "Won't overwrite existing file");
}

TEST(AFCTreeOperations, CopyToTheHostNeverLeavesAPartialFile)
{
    TemporaryDirectory local;
    MemoryTree tree;
    tree.addFile("/db", std::string(30000, 'd'));
    int reads = 0;
    FakeAFCPeer peer([&tree, &reads](const Request& request) {
        if (request.operation == AFCOpcode::FileRead && ++reads == 2) {
            return status(request, AFCStatus::IoError);
        }
        return tree(request);
    });
    auto afc = openOn(peer);
    const std::string target = (local.path() / "copy.db").string();
    EXPECT_FALSE(AFCTreeOperations(*afc).copyRemoteFile("/db", target));
    EXPECT_EQ(afc->lasterror(), "AFCFileRefRead failed: 20");
    EXPECT_FALSE(std::filesystem::exists(target));

    // An existing local file is left alone.
    std::ofstream(target) << "keep";
    EXPECT_FALSE(AFCTreeOperations(*afc).copyRemoteFile("/db", target));
    EXPECT_EQ(afc->lasterror(), "Won't overwrite existing file");
    std::ifstream in(target);
    std::string kept;
    in >> kept;
    EXPECT_EQ(kept, "keep");
}

TEST(AFCTreeOperations, WritesPlistsOnlyWhenTheyCanBeSerialised)
{
    MemoryTree tree;
    tree.addFile("/keep.plist", "<old/>");
    FakeAFCPeer peer(std::ref(tree));
    auto afc = openOn(peer);
    LogCapture log;
    EXPECT_FALSE(AFCTreeOperations(*afc).writePlist(PlistValue(PlistArray { PlistValue() }), "/keep.plist"));
    EXPECT_EQ(tree.nodes.at("/keep.plist").contents, "<old/>");
    EXPECT_TRUE(log.contains("Error: Can't convert value to XML"));

    const PlistValue value(PlistDictionary { { "k", PlistValue(std::int64_t { 7 }) } });
    EXPECT_TRUE(AFCTreeOperations(*afc).writePlist(value, "/new.plist"));
    EXPECT_EQ(AFCTreeOperations(*afc).readPlistAtPath("/new.plist"), value);
    EXPECT_FALSE(AFCTreeOperations(*afc).readPlistAtPath("/missing.plist"));
    EXPECT_TRUE(log.contains("Error: AFCFileRefOpen failed: Return code = 0x0008"));
}

// ---- Failures that must never read as success ---------------------------------------------------

namespace {

/// Serves `tree` until `limit` requests of `operation` have been answered, then hangs up on the
/// next one: a phone unplugged in the middle of a walk.
FakeAFCPeer::Handler hangUpAfter(MemoryTree& tree, AFCOpcode operation, int limit)
{
    auto seen = std::make_shared<int>(0);
    return [&tree, operation, limit, seen](const Request& request) {
        if (request.operation == operation && ++*seen > limit) {
            return Answer { {}, true };
        }
        return tree(request);
    };
}

MemoryTree bigFolder(int files)
{
    MemoryTree tree;
    tree.addDirectory("/big");
    for (int i = 0; i < files; ++i) {
        tree.addFile("/big/f" + std::to_string(i), std::string(10, 'x'));
    }
    return tree;
}

std::size_t countRequests(const FakeAFCPeer& peer, AFCOpcode operation)
{
    std::size_t count = 0;
    for (const Request& request : peer.requests()) {
        count += request.operation == operation;
    }
    return count;
}

} // namespace

TEST(AFCDirectoryAccess, ExistenceIsUnknownWhenTheDeviceCannotTell)
{
    struct Row
    {
        const char* name;
        std::function<Answer(const Request&)> answer;
        std::optional<bool> expected;
    };
    const Row rows[] = {
        { "found",
            [](const Request& r) {
                return data(r, strings({ "st_ifmt", "S_IFREG" }));
            },
            true },
        { "not found", [](const Request& r) { return status(r, AFCStatus::ObjectNotFound); }, false },
        { "refused", [](const Request& r) { return status(r, AFCStatus::PermDenied); }, std::nullopt },
        { "connection lost",
            [](const Request&) {
                return Answer { {}, true };
            },
            std::nullopt },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakeAFCPeer peer(row.answer);
        auto afc = openOn(peer);
        EXPECT_EQ(afc->existsAtPath("/x"), row.expected);
        EXPECT_EQ(afc->lasterror().has_value(), !row.expected.has_value());
    }
}

TEST(AFCTreeOperations, TreeDeletionFailsAndStopsWhenTheConnectionDrops)
{
    MemoryTree tree = bigFolder(50);
    FakeAFCPeer peer(hangUpAfter(tree, AFCOpcode::RemovePath, 20));
    auto afc = openOn(peer);
    EXPECT_FALSE(AFCTreeOperations(*afc).deleteTreeAtPath("/big", true));
    EXPECT_TRUE(AFCDirectoryAccess::isConnectionFailure(afc->lastStatus())) << afc->lasterror().value_or("");
    EXPECT_EQ(tree.nodes.size(), 31u); // the folder and the 30 files the walk never reached
    // The walk ended at the failure instead of sending 30 more requests into a dead connection.
    EXPECT_EQ(countRequests(peer, AFCOpcode::RemovePath), 21u);
}

TEST(AFCTreeOperations, TreeDeletionReportsARefusalAndRemovesTheRest)
{
    MemoryTree tree = bigFolder(3);
    FakeAFCPeer peer([&tree](const Request& request) {
        if (request.operation == AFCOpcode::RemovePath && request.path() == "/big/f1") {
            return status(request, AFCStatus::PermDenied);
        }
        return tree(request);
    });
    auto afc = openOn(peer);
    EXPECT_FALSE(AFCTreeOperations(*afc).deleteTreeAtPath("/big", true));
    EXPECT_EQ(afc->lasterror(), "AFCRemovePath failed: Return code = 0x000A");
    EXPECT_EQ(afc->lastStatus(), AFCStatus::PermDenied);
    EXPECT_FALSE(tree.nodes.count("/big/f0"));
    EXPECT_TRUE(tree.nodes.count("/big/f1"));
    EXPECT_FALSE(tree.nodes.count("/big/f2"));
}

TEST(AFCTreeOperations, TreeDeletionRefusesTheTopOfTheArea)
{
    for (const char* path : { "/", "//", "/DCIM/..", "/./", "" }) {
        SCOPED_TRACE(path);
        MemoryTree tree = bigFolder(2);
        tree.addDirectory("/DCIM");
        FakeAFCPeer peer(std::ref(tree));
        auto afc = openOn(peer);
        EXPECT_FALSE(AFCTreeOperations(*afc).deleteTreeAtPath(path, true));
        AFCTreeOperations(*afc).recursiveDeletePath(path, true);
        EXPECT_EQ(peer.requestCount(), 0u);
        EXPECT_EQ(tree.nodes.size(), 4u);
    }
    // Its contents, asked for explicitly, may go.
    MemoryTree tree = bigFolder(2);
    tree.addDirectory("/");
    FakeAFCPeer peer(std::ref(tree));
    auto afc = openOn(peer);
    EXPECT_TRUE(AFCTreeOperations(*afc).deleteTreeAtPath("/", false));
    EXPECT_EQ(tree.nodes.size(), 1u);
    EXPECT_TRUE(tree.nodes.count("/"));
}

TEST(AFCTreeOperations, ScanThatCannotReadEverythingSaysSo)
{
    MemoryTree tree;
    tree.addDirectory("/t");
    tree.addFile("/t/a", std::string(10, 'a'));
    tree.addDirectory("/t/locked");
    tree.addFile("/t/locked/b", std::string(20, 'b'));
    tree.addFile("/t/c", std::string(30, 'c'));
    struct Row
    {
        const char* name;
        std::function<std::optional<Answer>(const Request&)> fault;
        std::int64_t counted;
    };
    const Row rows[] = {
        { "listing refused",
            [](const Request& r) -> std::optional<Answer> {
                if (r.operation == AFCOpcode::ReadDirectory && r.path() == "/t/locked") {
                    return status(r, AFCStatus::NoResources);
                }
                return std::nullopt;
            },
            40 },
        { "entry unreadable",
            [](const Request& r) -> std::optional<Answer> {
                if (r.operation == AFCOpcode::GetFileInfo && r.path() == "/t/c") {
                    return status(r, AFCStatus::PermDenied);
                }
                return std::nullopt;
            },
            30 },
        { "connection lost",
            [](const Request& r) -> std::optional<Answer> {
                if (r.operation == AFCOpcode::GetFileInfo && r.path() == "/t/locked/b") {
                    return Answer { {}, true };
                }
                return std::nullopt;
            },
            40 },
        { "top listing refused",
            [](const Request& r) -> std::optional<Answer> {
                if (r.operation == AFCOpcode::ReadDirectory && r.path() == "/t") {
                    return status(r, AFCStatus::PermDenied);
                }
                return std::nullopt;
            },
            0 },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakeAFCPeer peer([&](const Request& request) {
            std::optional<Answer> fault = row.fault(request);
            return fault ? *fault : tree(request);
        });
        auto afc = openOn(peer);
        const PlistDictionary scan = AFCTreeOperations(*afc).scanPath("/t");
        EXPECT_TRUE(AFCTreeOperations::isIncompleteScan(scan));
        EXPECT_EQ(scan.count("size") ? scan.at("size").toInt64().value_or(-1) : 0, row.counted);
        EXPECT_TRUE(afc->lasterror().has_value());
        // A sum that includes it is short too.
        EXPECT_TRUE(AFCTreeOperations::isIncompleteScan(AFCTreeOperations::addScan({}, scan, false)));
    }
    // An entry removed while the walk runs is simply not there.
    FakeAFCPeer peer([&](const Request& request) {
        if (request.operation == AFCOpcode::GetFileInfo && request.path() == "/t/c") {
            return status(request, AFCStatus::ObjectNotFound);
        }
        return tree(request);
    });
    auto afc = openOn(peer);
    const PlistDictionary scan = AFCTreeOperations(*afc).scanPath("/t");
    EXPECT_FALSE(AFCTreeOperations::isIncompleteScan(scan));
    EXPECT_EQ(scan.at("size"), PlistValue(std::int64_t { 30 }));
}

TEST(AFCTreeOperations, UploadNeverLeavesAPartialFileUnderTheTargetName)
{
    TemporaryDirectory local;
    const std::string source = (local.path() / "big.bin").string();
    std::ofstream(source, std::ios::binary) << std::string(100000, 'u');

    // Too big for the free space: refused before a byte is written.
    {
        MemoryTree tree;
        tree.freeBytes = 50000;
        FakeAFCPeer peer(std::ref(tree));
        auto afc = openOn(peer);
        EXPECT_FALSE(AFCTreeOperations(*afc).copyLocalFileToRemoteFile(source, "/big.bin", false));
        EXPECT_EQ(afc->lastStatus(), AFCStatus::NoSpaceLeft);
        EXPECT_EQ(afc->lasterror(), "Not enough free space on the device: 100000 bytes needed, 50000 free");
        EXPECT_EQ(countRequests(peer, AFCOpcode::FileOpen), 0u);
    }
    // A write refused part way: nothing under the target name, and the partial file removed.
    {
        MemoryTree tree;
        int writes = 0;
        FakeAFCPeer peer([&](const Request& request) {
            if (request.operation == AFCOpcode::FileWrite && ++writes == 3) {
                return status(request, AFCStatus::NoSpaceLeft);
            }
            return tree(request);
        });
        auto afc = openOn(peer);
        EXPECT_FALSE(AFCTreeOperations(*afc).copyLocalFileToRemoteFile(source, "/big.bin", false));
        EXPECT_EQ(afc->lasterror(), "AFCFileRefWrite failed: 18");
        EXPECT_EQ(afc->lastStatus(), AFCStatus::NoSpaceLeft);
        EXPECT_TRUE(tree.nodes.empty());
    }
    // The connection lost part way: at most a hidden partial file, never the target.
    {
        MemoryTree tree;
        FakeAFCPeer peer(hangUpAfter(tree, AFCOpcode::FileWrite, 4));
        auto afc = openOn(peer);
        EXPECT_FALSE(AFCTreeOperations(*afc).copyLocalFileToRemoteFile(source, "/big.bin", false));
        EXPECT_FALSE(tree.nodes.count("/big.bin"));
        EXPECT_TRUE(tree.nodes.count(AFCTreeOperations::partialPathFor("/big.bin")));
    }
    // A retry after that succeeds, and replacing needs the caller's word.
    {
        MemoryTree tree;
        tree.addFile(AFCTreeOperations::partialPathFor("/big.bin"), "stale");
        FakeAFCPeer peer(std::ref(tree));
        auto afc = openOn(peer);
        EXPECT_TRUE(AFCTreeOperations(*afc).copyLocalFileToRemoteFile(source, "/big.bin", false));
        EXPECT_EQ(tree.nodes.at("/big.bin").contents.size(), 100000u);
        EXPECT_EQ(tree.nodes.size(), 1u);
        EXPECT_FALSE(AFCTreeOperations(*afc).copyLocalFileToRemoteFile(source, "/big.bin", false));
        EXPECT_EQ(afc->lasterror(), "Won't overwrite existing file");
    }
    EXPECT_EQ(AFCTreeOperations::partialPathFor("/a/b.txt"), "/a/.b.txt.torvane-partial");
    EXPECT_EQ(AFCTreeOperations::partialPathFor("/b.txt"), "/.b.txt.torvane-partial");
}

TEST(AFCTreeOperations, FolderUploadSkipsFifosAndSockets)
{
    TemporaryDirectory local;
    const std::filesystem::path folder = local.path() / "folder";
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "a.txt") << "alpha";
    ASSERT_EQ(::mkfifo((folder / "pipe").c_str(), 0600), 0);

    MemoryTree tree;
    FakeAFCPeer peer(std::ref(tree));
    auto afc = openOn(peer);
    // Reading the FIFO would wait for a writer for ever; it must be skipped, not opened.
    AFCTreeOperations operations(*afc);
    EXPECT_TRUE(operations.copyLocalFileToRemoteDir(folder.string(), "/", false));
    EXPECT_EQ(operations.skippedLocalPaths(), (std::vector<std::string> { (folder / "pipe").string() }));
    EXPECT_EQ(tree.nodes.at("/folder/a.txt").contents, "alpha");
    EXPECT_FALSE(tree.nodes.count("/folder/pipe"));

    EXPECT_FALSE(AFCTreeOperations(*afc).copyLocalFileToRemoteFile((folder / "pipe").string(), "/pipe", false));
    EXPECT_EQ(afc->lasterror(), "Can't open input file: not a regular file");
}
