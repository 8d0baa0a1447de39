#include "framework/logger.h"

#include <cstdlib>

Logger& Logger::instance() {
    static Logger logger;
    return logger;
}

Logger::~Logger() {
    closeFile();
    console_ = nullptr;
}

std::string Logger::homeFolder() {
    const char* home = std::getenv("HOME");
    if (home == nullptr) home = std::getenv("HOMEPATH");
    if (home == nullptr) return {};
    const char* drive = std::getenv("HOMEDRIVE");
    std::string folder = drive != nullptr ? drive : "";
    folder += home;
    folder += '/';
    return folder;
}

void Logger::closeFile() {
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
}

// Without a home folder the path stays empty and no file is ever looked for.
void Logger::resolvePath() {
    if (!path_.empty()) return;
    const std::string home = homeFolder();
    if (!home.empty()) path_ = home + file_name_;
}

// Runs under the lock before every entry. Costs one failed fopen while there is no file.
void Logger::refresh() {
    resolvePath();
    if (file_ == nullptr && !path_.empty()) {
        // Opened for reading first so that a missing file is never created by "a+".
        if (std::FILE* probe = std::fopen(path_.c_str(), "r")) {
            std::fclose(probe);
            file_ = std::fopen(path_.c_str(), "a+");
        }
    }
    if (file_ != nullptr) enabled_ = true;
    if (enabled_ && console_ == nullptr) console_ = stderr;
    if (!enabled_) console_ = nullptr;
}

void Logger::setFileName(const std::string& relative_name) noexcept {
    try {
        std::lock_guard<std::mutex> guard(lock_);
        if (relative_name == file_name_) return;
        file_name_ = relative_name;
        closeFile();
        path_.clear();
    } catch (...) {
    }
}

void Logger::write(const std::string& entry, int32_t level) noexcept {
    try {
        std::lock_guard<std::mutex> guard(lock_);
        refresh();
        if (level < min_level_) return;
        const int32_t depth = indent_.load();
        const std::string prefix(depth > 0 ? static_cast<size_t>(depth) * 4 : 0, ' ');
        if (file_ != nullptr) {
            const bool written =
                std::fwrite(prefix.data(), 1, prefix.size(), file_) == prefix.size() &&
                std::fwrite(entry.data(), 1, entry.size(), file_) == entry.size() &&
                std::fflush(file_) == 0;
            // A file that cannot be written to is dropped; the next entry tries to open it again.
            if (!written) closeFile();
        }
        if (console_ != nullptr) {
            std::fwrite(prefix.data(), 1, prefix.size(), console_);
            std::fwrite(entry.data(), 1, entry.size(), console_);
        }
    } catch (...) {
    }
}

void Logger::write(std::ostringstream& entry, int32_t level) noexcept {
    try {
        write(entry.str(), level);
        entry.str(std::string());
        entry.clear();
    } catch (...) {
    }
}

void Logger::writeAndIndent(std::ostringstream& entry) noexcept {
    write(entry, kInfo);
    indent_.fetch_add(1);
}

void Logger::endIndent() noexcept {
    // An unbalanced end never drives the depth below 0.
    int32_t depth = indent_.load();
    while (depth > 0 && !indent_.compare_exchange_weak(depth, depth - 1)) {
    }
}

std::string Logger::path() noexcept {
    try {
        std::lock_guard<std::mutex> guard(lock_);
        resolvePath();
        return path_;
    } catch (...) {
        return {};
    }
}

void Logger::resetForTest() noexcept {
    try {
        std::lock_guard<std::mutex> guard(lock_);
        closeFile();
        path_.clear();
        enabled_ = false;
        console_ = nullptr;
        indent_ = 0;
    } catch (...) {
    }
}
