#include <csignal>
#include <cstdlib>

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    // Test discovery and Qt-using tests must never need a display.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    setenv("TORVANE_BUILD_DIR", TORVANE_BUILD_DIR_DEFAULT, 0);
    // No test reaches the internet: app download sizes are asked of a closed local port unless a
    // test starts its own server.
    setenv("TORVANE_LOOKUP_URL", "http://127.0.0.1:9/", 0);
    // libimobiledevice's TLS writes go through OpenSSL's socket BIO, which raises SIGPIPE when the
    // phone went away (a detach test does exactly that); the error is what the tests look at.
    std::signal(SIGPIPE, SIG_IGN);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
