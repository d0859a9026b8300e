// Payload conversions, the two-decimal formatting and the file logger.
#include <gtest/gtest.h>

#include <clocale>
#include <filesystem>
#include <fstream>
#include <locale>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "protocol/bytes.h"
#include "service/logger.h"
#include "testsupport.h"

using namespace testing_support;

TEST(UtilConvert, BigEndianReads) {
    struct Case {
        const char* bytes;
        int pos;
        uint64_t asLong;
    };
    const Case longs[] = {
        {"00 01 01 01 01 01 01 01", 0, 282578800148737ull},
        {"FF FF FF FF FF FF FF FF", 0, 18446744073709551615ull},
        {"00 00 00 00 FF FF FF FF", 0, 4294967295ull},
        {"00 00 00 00 80 00 00 00", 0, 2147483648ull},
        {"EE 00 00 00 00 00 00 01 00", 1, 256ull},
    };
    for (const Case& c : longs) {
        EXPECT_EQ(util::chartol(unhex(c.bytes).data(), c.pos), c.asLong) << c.bytes;
    }

    struct IntCase {
        const char* bytes;
        int pos;
        int32_t value;
    };
    const IntCase ints[] = {
        {"FF FF FF FE", 0, -2},        {"00 00 03 E8", 0, 1000}, {"80 00 00 00", 0, INT32_MIN},
        {"7F FF FF FF", 0, INT32_MAX}, {"FF FF FF FF", 0, -1},   {"12 00 00 00 2A", 1, 42},
    };
    for (const IntCase& c : ints) {
        EXPECT_EQ(util::chartoi(unhex(c.bytes).data(), c.pos), c.value) << c.bytes;
    }

    EXPECT_EQ(util::chartou16(unhex("FF FF").data(), 0), 65535);
    EXPECT_EQ(util::chartou16(unhex("00 12 34").data(), 1), 0x1234);
}

TEST(UtilConvert, BigEndianStoresCutWideValues) {
    unsigned char bytes[6] = {};
    util::putBE16(bytes, 1, 70000u);
    util::putBE32(bytes, 2, 0xDEADBEEFu);
    EXPECT_EQ(hex(Bytes(bytes, bytes + 6)), "00 11 DE AD BE EF");
}

namespace {

const std::vector<std::pair<double, std::string>> FORMATTED = {
    {0, "0.00"},
    {3, "3.00"},
    {12.5, "12.50"},
    {-1.5, "-1.50"},
    {100, "100.00"},
    {0.125, "0.12"},
    {2.675, "2.67"},
    {-0.004, "-0.00"},
    {1234567.891, "1234567.89"},
    {1e15, "1000000000000000.00"},
    {0.005, "0.01"},
};

void expectFormatted(const char* where) {
    for (const auto& [value, text] : FORMATTED) {
        EXPECT_EQ(util::get_formatted_value(value), text) << where << ": " << value;
    }
}

}  // namespace

TEST(UtilFormat, TwoDecimalsRoundedLikeTheCLibrary) {
    expectFormatted("classic locale");
}

TEST(UtilFormat, IgnoresTheProcessLocale) {
    const char* candidates[] = {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "ru_RU.UTF-8", "de_DE"};
    std::string chosen;
    for (const char* name : candidates) {
        try {
            std::locale::global(std::locale(name));
            chosen = name;
            break;
        } catch (const std::runtime_error&) {
        }
    }
    if (chosen.empty()) {
        GTEST_SKIP() << "no locale with a decimal comma is installed";
    }
    std::setlocale(LC_ALL, chosen.c_str());
    expectFormatted(chosen.c_str());
    std::locale::global(std::locale::classic());
    std::setlocale(LC_ALL, "C");
}

namespace {

std::vector<std::filesystem::path> filesIn(const std::string& dir) {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        files.push_back(entry.path());
    }
    return files;
}

std::string contents(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

TEST(UtilLogger, WritesTimeStampedLinesToAFileNamedAfterTheTime) {
    TempDir dir;
    Logger::fout.close();
    Logger::debug("before init");  // goes nowhere, silently

    Logger::loggerInit(dir.path());  // no trailing "/": the file still lands inside
    Logger::debug("first entry");
    Logger::debug("second entry");
    std::vector<std::filesystem::path> files = filesIn(dir.path());
    ASSERT_EQ(files.size(), 1u);
    const std::regex stamp(R"(\d{4}-\d{2}-\d{2}_\d{2}:\d{2}:\d{2})");
    EXPECT_TRUE(std::regex_match(files[0].stem().string(), stamp)) << files[0];
    EXPECT_EQ(files[0].extension(), ".txt");
    const std::regex lines(R"(\d{4}-\d{2}-\d{2}_\d{2}:\d{2}:\d{2} first entry\n)"
                           R"(\d{4}-\d{2}-\d{2}_\d{2}:\d{2}:\d{2} second entry\n)");
    EXPECT_TRUE(std::regex_match(contents(files[0]), lines)) << contents(files[0]);
    Logger::fout.close();
}

TEST(UtilLogger, SecondInitInTheSameSecondTruncates) {
    // Two inits straddle a second boundary now and then; try again until they do not.
    for (int attempt = 0; attempt < 5; ++attempt) {
        TempDir dir;
        Logger::loggerInit(dir.path() + "/");
        Logger::debug("from the first init");
        Logger::loggerInit(dir.path() + "/");
        Logger::debug("from the second init");
        Logger::fout.close();
        std::vector<std::filesystem::path> files = filesIn(dir.path());
        if (files.size() != 1) {
            continue;
        }
        std::string text = contents(files[0]);
        EXPECT_EQ(text.find("from the first init"), std::string::npos) << text;
        EXPECT_NE(text.find("from the second init"), std::string::npos) << text;
        return;
    }
    FAIL() << "the two inits never fell within one second";
}

TEST(UtilLogger, MissingDirectoryIsSilent) {
    TempDir dir;
    Logger::loggerInit(dir.path() + "/absent/");
    Logger::debug("lost");
    EXPECT_FALSE(Logger::fout.is_open());
    EXPECT_TRUE(filesIn(dir.path()).empty());
    Logger::fout.close();
}
