#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "framework/logger.h"

// Switches the logger on for one test: a temporary home folder that holds the log file, and
// the environment and logger put back afterwards.
class LogCapture {
public:
    LogCapture() {
        for (int i = 0; i < 3; ++i) {
            if (const char* value = std::getenv(kNames[i])) saved_[i] = value;
        }
        std::string pattern =
            (std::filesystem::temp_directory_path() / "qb_aehost_XXXXXX").string();
        dir_ = ::mkdtemp(pattern.data());
        ::setenv("HOME", dir_.c_str(), 1);
        ::unsetenv("HOMEPATH");
        ::unsetenv("HOMEDRIVE");
        std::filesystem::create_directories(dir_ + "/quillbrook");
        std::ofstream(path()).flush();
        Logger::instance().setFileName(Logger::kDefaultFileName);
        Logger::instance().resetForTest();
    }

    ~LogCapture() {
        Logger::instance().resetForTest();
        for (int i = 0; i < 3; ++i) {
            if (saved_[i]) {
                ::setenv(kNames[i], saved_[i]->c_str(), 1);
            } else {
                ::unsetenv(kNames[i]);
            }
        }
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text() const {
        std::ifstream in(path());
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }

private:
    std::string path() const { return dir_ + "/" + Logger::kDefaultFileName; }

    static constexpr const char* kNames[3] = {"HOME", "HOMEPATH", "HOMEDRIVE"};
    std::string dir_;
    std::optional<std::string> saved_[3];
};
