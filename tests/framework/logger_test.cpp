#include "framework/logger.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/framework/temp_home.h"

namespace {

TEST(LoggerPath, DriveIsPrependedToHome) {
    TempHome home;
    ::setenv("HOME", "/home/x", 1);
    ::setenv("HOMEDRIVE", "C:", 1);
    ::setenv("HOMEPATH", "\\ignored", 1);
    EXPECT_EQ(Logger::homeFolder(), "C:/home/x/");
    Logger::instance().setFileName("quillbrook/zblur_ae.log");
    EXPECT_EQ(Logger::instance().path(), "C:/home/x/quillbrook/zblur_ae.log");
}

TEST(LoggerPath, HomepathWhenHomeIsUnset) {
    TempHome home;
    ::unsetenv("HOME");
    ::setenv("HOMEDRIVE", "C:", 1);
    ::setenv("HOMEPATH", "\\Users\\x", 1);
    Logger::instance().setFileName("quillbrook/evenblur_ae.log");
    EXPECT_EQ(Logger::instance().path(), "C:\\Users\\x/quillbrook/evenblur_ae.log");
}

TEST(LoggerPath, HomeWithoutDrive) {
    TempHome home;
    ::setenv("HOME", "/home/y", 1);
    EXPECT_EQ(Logger::instance().path(), std::string("/home/y/") + Logger::kDefaultFileName);
}

TEST(LoggerPath, NoHomeMeansNoPathAndNoLogging) {
    TempHome home;
    ::unsetenv("HOME");
    ::setenv("HOMEDRIVE", "C:", 1);
    EXPECT_EQ(Logger::homeFolder(), "");
    EXPECT_EQ(Logger::instance().path(), "");
    Logger::instance().write("dropped\n", Logger::kInfo);
    EXPECT_FALSE(Logger::instance().enabled());
}

TEST(LoggerPath, FileNameChangeResolvesAgain) {
    TempHome home;
    EXPECT_EQ(Logger::instance().path(), home.logPath());
    Logger::instance().setFileName("quillbrook/zblur_ae.log");
    EXPECT_EQ(Logger::instance().path(), home.dir() + "/quillbrook/zblur_ae.log");
}

TEST(LoggerFile, NothingIsWrittenOrCreatedWithoutTheFile) {
    TempHome home;
    Logger::instance().write("lost entry\n", Logger::kError);
    EXPECT_FALSE(Logger::instance().enabled());
    EXPECT_FALSE(std::filesystem::exists(home.dir() + "/quillbrook"));

    std::filesystem::create_directories(home.dir() + "/quillbrook");
    Logger::instance().write("lost entry\n", Logger::kError);
    EXPECT_FALSE(home.logExists());
    EXPECT_FALSE(Logger::instance().enabled());
}

TEST(LoggerFile, FileCreatedLaterIsPickedUpByTheNextEntry) {
    TempHome home;
    Logger::instance().write("before\n", Logger::kInfo);
    home.createLog();
    Logger::instance().write("after\n", Logger::kInfo);
    EXPECT_TRUE(Logger::instance().enabled());
    EXPECT_EQ(home.readLog(), "after\n");
}

TEST(LoggerFile, AppendsToExistingContents) {
    TempHome home;
    home.createLog("earlier session\n");
    Logger::instance().write("one\n", Logger::kInfo);
    Logger::instance().write("two", Logger::kWarning);
    Logger::instance().write(" three\n", Logger::kError);
    EXPECT_EQ(home.readLog(), "earlier session\none\ntwo three\n");
}

TEST(LoggerFile, EntriesBelowLevelOneAreDropped) {
    TempHome home;
    home.createLog();
    Logger::instance().write("zero\n", 0);
    Logger::instance().write("one\n", 1);
    EXPECT_EQ(home.readLog(), "one\n");
}

TEST(LoggerFile, StreamIsEmptiedAfterWriting) {
    TempHome home;
    home.createLog();
    std::ostringstream entry;
    entry << "first " << 1 << "\n";
    Logger::instance().write(entry, Logger::kInfo);
    EXPECT_EQ(entry.str(), "");
    entry << "second\n";
    Logger::instance().write(entry, Logger::kInfo);
    EXPECT_EQ(home.readLog(), "first 1\nsecond\n");
}

TEST(LoggerFile, StreamIsEmptiedEvenWithoutFile) {
    TempHome home;
    std::ostringstream entry;
    entry << "nowhere\n";
    Logger::instance().write(entry, Logger::kInfo);
    EXPECT_EQ(entry.str(), "");
}

TEST(LoggerIndent, FourBlanksPerLevel) {
    TempHome home;
    home.createLog();
    Logger& logger = Logger::instance();
    std::ostringstream entry;
    entry << "outer\n";
    logger.writeAndIndent(entry);
    entry << "inner\n";
    logger.writeAndIndent(entry);
    EXPECT_EQ(logger.indent(), 2);
    logger.write("deepest\n", Logger::kInfo);
    logger.endIndent();
    logger.write("inner again\n", Logger::kInfo);
    logger.endIndent();
    logger.write("top\n", Logger::kInfo);
    EXPECT_EQ(home.readLog(), "outer\n    inner\n        deepest\n    inner again\ntop\n");
}

TEST(LoggerIndent, UnbalancedEndStaysAtZero) {
    TempHome home;
    home.createLog();
    Logger::instance().endIndent();
    EXPECT_EQ(Logger::instance().indent(), 0);
    Logger::instance().write("flush left\n", Logger::kInfo);
    EXPECT_EQ(home.readLog(), "flush left\n");
}

TEST(LoggerIndent, EntryAndScopeHelpers) {
    TempHome home;
    home.createLog();
    {
        std::ostringstream opening;
        opening << "block " << 7 << "\n";
        LogIndentScope block(opening);
        LogEntry(Logger::kWarning) << Logger::kWarningPrefix << "value " << 2.5 << "\n";
        LogEntry(Logger::kError) << Logger::kErrorPrefix << "code " << 4 << "\n";
    }
    LogEntry() << "after\n";
    EXPECT_EQ(home.readLog(),
              "block 7\n"
              "    -**### WARNING ###**-: value 2.5\n"
              "    -**###  ERROR  ###**-: code 4\n"
              "after\n");
    EXPECT_EQ(Logger::instance().indent(), 0);
}

TEST(LoggerConcurrency, EntriesFromManyThreadsStayWhole) {
    TempHome home;
    home.createLog();
    constexpr int kThreads = 6;
    constexpr int kEntries = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kEntries; ++i) {
                LogEntry() << "thread " << t << " entry " << i << " end\n";
            }
        });
    }
    for (std::thread& thread : threads) thread.join();

    std::istringstream lines(home.readLog());
    std::vector<int> next(kThreads, 0);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        int t = -1;
        int i = -1;
        char tail[8] = {};
        ASSERT_EQ(std::sscanf(line.c_str(), "thread %d entry %d %3s", &t, &i, tail), 3) << line;
        ASSERT_STREQ(tail, "end");
        ASSERT_TRUE(t >= 0 && t < kThreads) << line;
        EXPECT_EQ(i, next[t]) << "entries of one thread keep their order";
        next[t] = i + 1;
        ++count;
    }
    EXPECT_EQ(count, kThreads * kEntries);
}

}  // namespace
