// Lockdown requests one by one through libimobiledevice's lockdownd_* calls, and devices added
// at run time through ctl.
#include "tests/sim/SimTestSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <plist/plist.h>

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
        { "a missing value", lockdownd_get_value(lockdown.client, nullptr, "NoSuchKey", &value), LOCKDOWN_E_MISSING_VALUE },
        { "an unknown domain", lockdownd_get_value(lockdown.client, "com.example", nullptr, &value), LOCKDOWN_E_MISSING_VALUE },
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

TEST(Lockdown, ServicePortsStayReachableAfterLockdownCloses)
{
    SimulatorFixture sim({ "demo" });
    ASSERT_TRUE(sim.start()) << sim.lastError();
    lockdownd_service_descriptor_t service = nullptr;
    idevice_t device = nullptr;
    ASSERT_EQ(idevice_new_with_options(&device, DEMO.c_str(), IDEVICE_LOOKUP_USBMUX), IDEVICE_E_SUCCESS);
    {
        lockdownd_client_t client = nullptr;
        ASSERT_EQ(lockdownd_client_new_with_handshake(device, &client, "sim_tests"), LOCKDOWN_E_SUCCESS);
        ASSERT_EQ(lockdownd_start_service(client, "com.apple.afc", &service), LOCKDOWN_E_SUCCESS);
        EXPECT_GE(service->port, 49152);
        lockdownd_client_free(client);
    }
    afc_client_t afc = nullptr;
    ASSERT_EQ(afc_client_new(device, service, &afc), AFC_E_SUCCESS);
    EXPECT_FALSE(afcDeviceInfo(afc).empty());
    afc_client_free(afc);
    lockdownd_service_descriptor_free(service);
    idevice_free(device);
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
    EXPECT_NE(list.find(DEMO + "\tattached\t1\tdemo\tDemo iPhone\tclose-after 100\tafc-status 3 10\n"), std::string::npos)
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
