// Lockdown requests one by one through libimobiledevice's lockdownd_* calls, and devices added
// at run time through ctl.
#include "base/PlistValue.h"
#include "tests/sim/SimTestSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <plist/plist.h>
#include <usbmuxd.h>

using namespace std::chrono_literals;

namespace {

const std::string DEMO = SimulatorFixture::DEMO_UDID;

struct PlainLockdown
{
    explicit PlainLockdown(const std::string& udid)
    {
        if (idevice_new_with_options(&device, udid.c_str(), IDEVICE_LOOKUP_USBMUX) == IDEVICE_E_SUCCESS) {
            status = lockdownd_client_new(device, &client, "sim_tests");
        }
    }
    ~PlainLockdown()
    {
        if (client) {
            lockdownd_client_free(client);
        }
        if (device) {
            idevice_free(device);
        }
    }
    idevice_t device { nullptr };
    lockdownd_client_t client { nullptr };
    lockdownd_error_t status { LOCKDOWN_E_UNKNOWN_ERROR };
};

} // namespace

TEST(Lockdown, AnswersEachRequestWithTheDevicesOwnErrors)
{
    SimulatorFixture sim({ "demo" });
    ASSERT_TRUE(sim.start()) << sim.lastError();
    PlainLockdown lockdown(DEMO);
    ASSERT_EQ(lockdown.status, LOCKDOWN_E_SUCCESS);

    char* type = nullptr;
    ASSERT_EQ(lockdownd_query_type(lockdown.client, &type), LOCKDOWN_E_SUCCESS);
    EXPECT_STREQ(type, "com.apple.mobile.lockdown");
    free(type);

    // Values are readable before any session.
    plist_t value = nullptr;
    ASSERT_EQ(lockdownd_get_value(lockdown.client, nullptr, "UniqueDeviceID", &value), LOCKDOWN_E_SUCCESS);
    char* text = nullptr;
    plist_get_string_val(value, &text);
    EXPECT_STREQ(text, DEMO.c_str());
    free(text);
    plist_free(value);
    value = nullptr;
    ASSERT_EQ(lockdownd_get_value(lockdown.client, nullptr, "DevicePublicKey", &value), LOCKDOWN_E_SUCCESS);
    char* key = nullptr;
    uint64_t length = 0;
    plist_get_data_val(value, &key, &length);
    EXPECT_EQ(std::string(key, std::min<uint64_t>(length, 30)), "-----BEGIN RSA PUBLIC KEY-----");
    free(key);
    plist_free(value);
    value = nullptr;

    const struct
    {
        const char* what;
        lockdownd_error_t status;
        lockdownd_error_t expected;
    } rows[] = {
        { "a missing value", lockdownd_get_value(lockdown.client, nullptr, "NoSuchKey", &value),
            LOCKDOWN_E_MISSING_VALUE },
        { "an unknown domain", lockdownd_get_value(lockdown.client, "com.example", nullptr, &value),
            LOCKDOWN_E_MISSING_VALUE },
        { "a value that may not be set",
            lockdownd_set_value(lockdown.client, nullptr, "ProductVersion", plist_new_string("99.0")),
            LOCKDOWN_E_SET_PROHIBITED },
        { "a service outside a session",
            [&] {
                lockdownd_service_descriptor_t service = nullptr;
                return lockdownd_start_service(lockdown.client, "com.apple.afc", &service);
            }(),
            LOCKDOWN_E_SESSION_INACTIVE },
        { "a session for a stranger",
            lockdownd_start_session(lockdown.client, "00000000-0000-0000-0000-000000000000", nullptr, nullptr),
            LOCKDOWN_E_INVALID_HOST_ID },
        { "goodbye", lockdownd_goodbye(lockdown.client), LOCKDOWN_E_SUCCESS },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(row.status, row.expected);
    }
    EXPECT_EQ(value, nullptr);
}

TEST(Control, AttachesANewProfileAndListsFaults)
{
    SimulatorFixture sim({ "demo" });
    ASSERT_TRUE(sim.start()) << sim.lastError();
    TemporaryDirectory profiles;
    TestProfile extra;
    const ProcessResult attached = sim.ctl({ "attach", extra.write(profiles.path()).string() });
    ASSERT_EQ(attached.exitCode, 0) << attached.err;
    EXPECT_EQ(attached.out, extra.udid + "\n");
    EXPECT_EQ(runProcess({ "idevice_id", "-l" }, 15s).out, DEMO + "\n" + extra.udid + "\n");

    ASSERT_TRUE(sim.fault(DEMO, { "afc-status", "3", "10" }));
    ASSERT_TRUE(sim.fault(DEMO, { "close-after", "100" }));
    const std::string list = sim.ctl({ "list" }).out;
    EXPECT_NE(
        list.find(DEMO + "\tattached\t1\tdemo\tDemo iPhone\tclose-after 100\tafc-status 3 10\n"), std::string::npos)
        << list;

    const struct
    {
        std::vector<std::string> args;
        std::string error;
    } refused[] = {
        { { "detach", "0000" }, "torvane-simd ctl: ERROR no device 0000\n" },
        { { "fault", DEMO, "explode" }, "" },
        { { "fault", DEMO, "close-after", "-1" }, "" },
        { { "attach", DEMO }, "torvane-simd ctl: ERROR " + DEMO + " is already attached\n" },
        { { "frobnicate", DEMO }, "torvane-simd ctl: ERROR unknown command frobnicate\n" },
        { { "trust", DEMO, "maybe" }, "" },
    };
    for (const auto& row : refused) {
        SCOPED_TRACE(row.args[0]);
        const ProcessResult result = sim.ctl(row.args);
        EXPECT_EQ(result.exitCode, 1);
        if (!row.error.empty()) {
            EXPECT_EQ(result.err, row.error);
        }
    }
}

namespace {

/// The HostID of the pair record the simulator keeps for `udid`; empty without one.
std::string storedHostId(const std::string& udid)
{
    char* data = nullptr;
    uint32_t size = 0;
    if (usbmuxd_read_pair_record(udid.c_str(), &data, &size) < 0 || !data) {
        return {};
    }
    const std::optional<PlistValue> record = PlistCodec::fromAny(std::string_view(data, size));
    free(data);
    return record ? record->stringForKey("HostID") : std::string();
}

} // namespace

TEST(Lockdown, TrustStatesAnswerPairValidateAndSessionsAsAPhoneDoes)
{
    SimulatorFixture sim({ "demo" });
    ASSERT_TRUE(sim.start()) << sim.lastError();
    {
        PlainLockdown lockdown(DEMO);
        ASSERT_EQ(lockdown.status, LOCKDOWN_E_SUCCESS);
        ASSERT_EQ(lockdownd_pair(lockdown.client, nullptr), LOCKDOWN_E_SUCCESS);
    }
    const std::string firstHost = storedHostId(DEMO);
    ASSERT_FALSE(firstHost.empty());

    const struct
    {
        const char* state;
        lockdownd_error_t session; // for the computer that paired first
        lockdownd_error_t pair;
        bool newHostTrusted; // a session for the HostID a Pair left behind
    } rows[] = {
        { "passcode-locked", LOCKDOWN_E_INVALID_HOST_ID, LOCKDOWN_E_PASSWORD_PROTECTED, false },
        { "dialog-pending", LOCKDOWN_E_INVALID_HOST_ID, LOCKDOWN_E_PAIRING_DIALOG_RESPONSE_PENDING, false },
        { "denied", LOCKDOWN_E_INVALID_HOST_ID, LOCKDOWN_E_USER_DENIED_PAIRING, false },
        // Answering the prompt gives the computers that paired their sessions back.
        { "trusted", LOCKDOWN_E_SUCCESS, LOCKDOWN_E_SUCCESS, true },
        // The phone dropped its pairings: the old record is refused, pairing again is accepted.
        { "forgotten", LOCKDOWN_E_INVALID_HOST_ID, LOCKDOWN_E_SUCCESS, true },
    };
    std::string host = firstHost;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.state);
        ASSERT_EQ(sim.ctl({ "trust", DEMO, row.state }).exitCode, 0);
        const std::string list = sim.ctl({ "list" }).out;
        EXPECT_EQ(
            list.find(std::string("\ttrust ") + row.state) != std::string::npos, std::string(row.state) != "trusted")
            << list;
        PlainLockdown lockdown(DEMO);
        ASSERT_EQ(lockdown.status, LOCKDOWN_E_SUCCESS);
        char* session = nullptr;
        EXPECT_EQ(lockdownd_start_session(lockdown.client, host.c_str(), &session, nullptr), row.session);
        if (session) {
            EXPECT_EQ(lockdownd_stop_session(lockdown.client, session), LOCKDOWN_E_SUCCESS);
            free(session);
            session = nullptr;
        }
        EXPECT_EQ(lockdownd_validate_pair(lockdown.client, nullptr), row.session);
        EXPECT_EQ(lockdownd_pair(lockdown.client, nullptr), row.pair);
        // A refused Pair leaves the computer's record as it was. An accepted one stores a record,
        // but its HostID may equal the last one: libimobiledevice seeds its generator with the
        // time in seconds, so two pairings within one second can draw the same identifier.
        const std::string stored = storedHostId(DEMO);
        if (row.pair == LOCKDOWN_E_SUCCESS) {
            EXPECT_FALSE(stored.empty());
        } else {
            EXPECT_EQ(stored, host);
        }
        host = stored;
        EXPECT_EQ(lockdownd_start_session(lockdown.client, host.c_str(), &session, nullptr),
            row.newHostTrusted ? LOCKDOWN_E_SUCCESS : LOCKDOWN_E_INVALID_HOST_ID);
        free(session);
    }
    // Pairing made the forgetful phone trusting again.
    EXPECT_EQ(sim.ctl({ "list" }).out.find("\ttrust "), std::string::npos);
}
