// The hand-off between a later start and the running instance, over the real socket.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLocalSocket>
#include <QSignalSpy>
#include <future>
#include <thread>

#include "TempDir.h"
#include "platform/InstanceChannel.h"
#include "platform/InstanceServer.h"

using testing_support::TempDir;

class InstanceChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("XDG_RUNTIME_DIR", tmp.path().c_str(), 1);
        dir = platform::InstanceDirectory();
        ASSERT_FALSE(dir.empty());
        ASSERT_TRUE(server.listen(dir));
    }

    // Hands off from another thread while this one runs the event loop.
    bool handOff(const std::string& text) {
        auto result = std::async(std::launch::async, [&] {
            return platform::HandOffToRunningInstance(dir, text, 3000);
        });
        QElapsedTimer timer;
        timer.start();
        while (result.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready &&
               timer.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        return result.get();
    }

    // Writes raw bytes as a misbehaving peer would.
    void sendRaw(const QByteArray& bytes) {
        QLocalSocket socket;
        socket.connectToServer(QString::fromStdString(platform::InstanceSocketPath(dir)));
        ASSERT_TRUE(socket.waitForConnected(1000));
        socket.write(bytes);
        socket.flush();
        for (int i = 0; i < 20; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        socket.abort();
        for (int i = 0; i < 5; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }

    TempDir tmp;
    std::string dir;
    platform::InstanceServer server;
};

TEST_F(InstanceChannelTest, TextsArriveByteForByte) {
    QSignalSpy spy(&server, &platform::InstanceServer::handOff);
    const std::string texts[] = {"PC7", "", "\xC8\xE2\xE0\xED",  // "Иван" in Windows-1251
                                 std::string("a\0b", 3), std::string(platform::kMaxHandOffBytes, 'x')};
    for (const std::string& text : texts) {
        ASSERT_TRUE(handOff(text));
        ASSERT_EQ(spy.count(), 1);
        EXPECT_EQ(spy.takeFirst().at(0).toByteArray().toStdString(), text);
    }
}

TEST_F(InstanceChannelTest, OversizedTextIsCutToTheCap) {
    QSignalSpy spy(&server, &platform::InstanceServer::handOff);
    ASSERT_TRUE(handOff(std::string(platform::kMaxHandOffBytes + 10, 'y')));
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(spy.first().at(0).toByteArray().size(), qsizetype(platform::kMaxHandOffBytes));
}

TEST_F(InstanceChannelTest, MalformedFramesAreIgnored) {
    QSignalSpy spy(&server, &platform::InstanceServer::handOff);
    sendRaw("GET / HTTP/1.0\r\n\r\n");
    sendRaw(QByteArray("QVH1\xFF\xFF\xFF\xFF", 8) + "zz");  // length beyond the cap
    sendRaw(QByteArray("QVH1\x00\x00\x00\x09", 8) + "short");  // closed before the end
    EXPECT_EQ(spy.count(), 0);
    // The server still serves a well-formed hand-off afterwards.
    ASSERT_TRUE(handOff("PC1"));
    ASSERT_EQ(spy.count(), 1);
}

TEST_F(InstanceChannelTest, SocketLeftByACrashDoesNotBlockListening) {
    platform::InstanceServer second;
    // The first server's socket file is still there; the lock holder replaces it.
    EXPECT_TRUE(second.listen(dir));
    QSignalSpy spy(&second, &platform::InstanceServer::handOff);
    ASSERT_TRUE(handOff("PC2"));
    EXPECT_EQ(spy.count(), 1);
}
