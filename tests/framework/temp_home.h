#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "framework/logger.h"

// Points the logger at a fresh temporary home folder for one test and puts the environment
// and the logger back afterwards. The log file exists only after createLog().
class TempHome {
public:
    TempHome() {
        for (int i = 0; i < 3; ++i) {
            const char* value = std::getenv(kNames[i]);
            if (value != nullptr) saved_[i] = value;
        }
        std::string pattern = (std::filesystem::temp_directory_path() / "qb_home_XXXXXX").string();
        dir_ = ::mkdtemp(pattern.data());
        ::setenv("HOME", dir_.c_str(), 1);
        ::unsetenv("HOMEPATH");
        ::unsetenv("HOMEDRIVE");
        Logger::instance().setFileName(Logger::kDefaultFileName);
        Logger::instance().resetForTest();
    }

    ~TempHome() {
        Logger::instance().resetForTest();
        Logger::instance().setFileName(Logger::kDefaultFileName);
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

    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    const std::string& dir() const { return dir_; }
    std::string logPath() const { return dir_ + "/" + Logger::kDefaultFileName; }

    void createLog(const std::string& contents = "") const {
        std::filesystem::create_directories(dir_ + "/quillbrook");
        std::ofstream(logPath()) << contents;
    }

    bool logExists() const { return std::filesystem::exists(logPath()); }

    std::string readLog() const {
        std::ifstream in(logPath());
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

private:
    static constexpr const char* kNames[3] = {"HOME", "HOMEPATH", "HOMEDRIVE"};
    std::string dir_;
    std::optional<std::string> saved_[3];
};
