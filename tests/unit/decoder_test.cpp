// Dispatch by message code, board identification from the version reply, the console dump,
// and the decoder loop.

#include <memory>
#include <string>
#include <vector>

#include "boardoptions.h"
#include "decoder_fixture.h"
#include "link/receivemanager.h"
#include "service/console.h"

namespace {

const std::string HASH_LINE(67, '#');

class DecoderTest : public DecoderFixture {};

TEST_F(DecoderTest, FirstVersionReplyIdentifiesAndAnnouncesTheBoard) {
    std::string printed;
    EXPECT_EQ(feed(2, {1, 2, 3, 34}, printed), Messages{"device_connected:34;"});
    EXPECT_EQ(printed, "VERSION\nDEVICE CONNECTED: CRIT VERSION [1] [2] [3]\n");
    EXPECT_EQ(channel.getDevice(), 34);
    EXPECT_TRUE(channel.isDefined());
    EXPECT_FALSE(Stand::standConnected);

    // Later replies only keep the board alive, whatever id they carry.
    channel.incrementTimeoutCounter();
    channel.incrementTimeoutCounter();
    EXPECT_TRUE(feed(2, {1, 2, 3, 61}, printed).empty());
    EXPECT_EQ(printed, "");
    EXPECT_EQ(channel.getTimeoutCounter(), 0u);
    EXPECT_EQ(channel.getDevice(), 34);
    EXPECT_FALSE(Stand::standConnected);
}

TEST_F(DecoderTest, EveryKnownBoardTypeHasItsConsoleLine) {
    struct Case {
        unsigned char id;
        const char* name;
        bool stand;
    };
    const Case cases[] = {{62, "STAND62", true},    {61, "STAND", true}, {33, "CRIT0303", false},
                          {12, "FLOWMETER", false}, {34, "CRIT", false}, {5, "DELAYMETER", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Stand::standConnected = false;
        Channel board(FileDescriptor(),
                      testing_support::boardOptions(false, std::chrono::milliseconds(0)));
        console::drain();
        ::testing::internal::CaptureStdout();
        dispatch(board, report(2, {0, 9, 255, c.id}));
        console::drain();
        EXPECT_EQ(::testing::internal::GetCapturedStdout(),
                  std::string("VERSION\nDEVICE CONNECTED: ") + c.name + " VERSION [0] [9] [255]\n");
        EXPECT_EQ(takeMessages(), Messages{"device_connected:" + std::to_string(c.id) + ";"});
        EXPECT_EQ(board.getDevice(), c.id);
        EXPECT_TRUE(board.isDefined());
        EXPECT_EQ(Stand::standConnected, c.stand);
    }
}

TEST_F(DecoderTest, UnknownBoardTypesStayUnidentified) {
    for (unsigned char id : {2, 2, 0, 99, 255}) {
        SCOPED_TRACE(static_cast<int>(id));
        channel.incrementTimeoutCounter();
        std::string printed;
        EXPECT_TRUE(feed(2, {1, 0, 0, id}, printed).empty());
        EXPECT_EQ(printed, "VERSION\n");
        EXPECT_EQ(channel.getDevice(), 255);
        EXPECT_FALSE(channel.isDefined());
        EXPECT_EQ(channel.getTimeoutCounter(), 0u);
    }
}

TEST_F(DecoderTest, BoardResetBySilenceIsAnnouncedAgain) {
    feed(2, {1, 0, 0, 12});
    channel.setDefined(false);
    channel.setDevice(255);
    EXPECT_EQ(feed(2, {1, 0, 0, 12}), Messages{"device_connected:12;"});
    EXPECT_EQ(channel.getDevice(), 12);
}

TEST_F(DecoderTest, CodesWithoutHandlerAreDroppedSilently) {
    for (unsigned char device : {255, 34, 61}) {
        channel.setDevice(device);
        for (unsigned char code : {0, 13, 81, 255, 11, 14, 15, 30, 32, 43, 44, 45, 54, 80}) {
            SCOPED_TRACE(std::to_string(device) + "/" + std::to_string(code));
            std::string printed;
            EXPECT_TRUE(feed(code, std::vector<unsigned char>(20, 0x22), printed).empty());
            EXPECT_EQ(printed, "");
        }
    }
}

TEST_F(DecoderTest, ConsoleDumpPrintsTheReceivedBytesOnly) {
    std::string printed;
    EXPECT_TRUE(feed(5, {}, printed).empty());
    EXPECT_EQ(printed, HASH_LINE + "\n\n");
    EXPECT_TRUE(feed(5, {0, 7, 255}, printed).empty());
    EXPECT_EQ(printed, HASH_LINE + "\n0 7 255 \n");
}

// Every handler with a fixed layout: the full layout has an effect, one byte less has none.
// The codes are written as numbers here, as in the builders' table: these two tables pin the
// names of protocol/codes.h to the values on the wire.
TEST_F(DecoderTest, ReportShorterThanItsLayoutIsDropped) {
    struct Case {
        unsigned char code;
        unsigned char device;
        std::size_t length;
    };
    const Case cases[] = {{2, 255, 4},   {10, 34, 5},   {10, 61, 4},   {12, 255, 1},
                          {21, 255, 3},  {27, 255, 6},  {31, 255, 15}, {41, 61, 4},
                          {41, 34, 4},   {42, 61, 1},   {46, 255, 11}, {47, 255, 5},
                          {53, 255, 80}, {55, 255, 90}, {62, 255, 15}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.code) + " from " + std::to_string(c.device));
        for (std::size_t length : {c.length - 1, c.length}) {
            channel.setDefined(false);
            channel.setDevice(c.device);
            TelemetryCrit::resetCharts();
            std::string printed;
            // In the version reply 0x22 is the id 34; chart 1 shows its header on the console.
            Messages queued = feed(c.code, std::vector<unsigned char>(length, 0x22), printed);
            const bool effect = !queued.empty() || !printed.empty();
            EXPECT_EQ(effect, length == c.length) << "length " << length;
        }
    }
    // The calibration only changes state.
    feed(16, std::vector<unsigned char>(21, 0x22));
    EXPECT_EQ(CRIT::hy, 1);
    feed(16, std::vector<unsigned char>(22, 0x22));
    EXPECT_EQ(CRIT::hy, 0x2222);
}

TEST_F(DecoderTest, LoopDecodesWhatWasQueuedBeforeTheStop) {
    ReceiveManager& manager = *channel.receiveManager;
    manager.push(std::make_unique<Command>(report(12, {4})));
    manager.push(std::make_unique<Command>(report(13, {1})));
    manager.push(std::make_unique<Command>(report(12, {5})));
    manager.stop();
    manager.decode();
    EXPECT_EQ(takeMessages(), (Messages{"injector_status:4;", "injector_status:5;"}));
    EXPECT_EQ(manager.queued(), 0u);
}

}  // namespace
