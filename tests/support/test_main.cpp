// Shared main() of the test binaries: private TMPDIR and XDG_RUNTIME_DIR (lock and socket files
// must not meet those of a running program or of another test), offscreen Qt, and for widget
// tests one QApplication for the whole binary.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#ifdef QUORVEL_TEST_WITH_QAPPLICATION
#include <QApplication>
#endif

namespace {

std::string MakePrivateDir() {
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/quorvel-run-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) return {};
    return buf.data();
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Listing the tests must not leave folders behind.
    const bool listing = ::testing::GTEST_FLAG(list_tests);
    std::string dir;
    if (!listing) {
        dir = MakePrivateDir();
        if (!dir.empty()) {
            setenv("TMPDIR", dir.c_str(), 1);
            setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
            setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
        }
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    int rc;
    {
#ifdef QUORVEL_TEST_WITH_QAPPLICATION
        QApplication app(argc, argv);
#endif
        rc = RUN_ALL_TESTS();
    }
    if (!dir.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    return rc;
}
