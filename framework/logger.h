#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <sstream>
#include <string>

// The process-wide diagnostic log. Logging is switched on by the user creating the log file
// (the home folder followed by the file name, e.g. "quillbrook/zblur_ae.log"); the logger never
// creates it. Without the file every entry is dropped after one failed open attempt, so a
// file created while the host runs is picked up by the next entry. Once a file has been opened
// the entries are mirrored to the standard error stream, which stands in for a console window.
//
// There is one logger per loaded plug-in library: the framework is linked statically into each
// plug-in with hidden symbols, so each library holds its own instance. Each plug-in names its
// file by calling setFileName() from its entry source before it writes anything; code that
// never does (tests, tools) logs to kDefaultFileName.
//
// Entries are composed by the caller, including their line ends and the level prefixes
// kWarningPrefix / kErrorPrefix. Every write takes the logger's lock; the indentation is an
// atomic counter changed outside that lock, so blocks logged by several threads at once may
// interleave their indentation. Nothing here throws.
class Logger {
public:
    static constexpr int32_t kInfo = 1;
    static constexpr int32_t kWarning = 2;
    static constexpr int32_t kError = 3;
    // VERBATIM: the prefixes, the command lines and the other log texts marked so are what
    // users grep their logs for and what log readers match; keep every character, blanks too.
    static constexpr const char* kWarningPrefix = "-**### WARNING ###**-: ";
    static constexpr const char* kErrorPrefix = "-**###  ERROR  ###**-: ";
    static constexpr const char* kDefaultFileName = "quillbrook/quillbrook.log";

    static Logger& instance();

    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    // File name relative to the home folder. A change closes the current file and resolves the
    // path again at the next entry.
    void setFileName(const std::string& relative_name) noexcept;

    // Appends one entry, prefixed by four blanks per indentation level, and empties `entry`.
    // Entries below level 1 are dropped.
    void write(std::ostringstream& entry, int32_t level) noexcept;
    void write(const std::string& entry, int32_t level) noexcept;
    // Writes at level 1, then indents the following entries by one more level.
    void writeAndIndent(std::ostringstream& entry) noexcept;
    void endIndent() noexcept;

    // Where the entries go: the home folder (HOMEDRIVE, then HOME or else HOMEPATH, then "/";
    // empty when neither HOME nor HOMEPATH is set) followed by the file name.
    std::string path() noexcept;
    // True once a log file has been opened; stays true for the life of the library.
    bool enabled() const noexcept { return enabled_.load(); }
    int32_t indent() const noexcept { return indent_.load(); }

    // "<HOMEDRIVE><HOME or HOMEPATH>/", or empty.
    static std::string homeFolder();

    // Tests only: closes the file, forgets the resolved path, clears enabled and the
    // indentation, as if the library had just been loaded (the file name is kept).
    void resetForTest() noexcept;

private:
    Logger() = default;
    ~Logger();

    void resolvePath();
    void refresh();
    void closeFile();

    std::string file_name_ = kDefaultFileName;
    std::string path_;
    std::FILE* file_ = nullptr;
    std::atomic<bool> enabled_{false};
    std::FILE* console_ = nullptr;
    int32_t min_level_ = kInfo;
    std::atomic<int32_t> indent_{0};
    std::mutex lock_;
};

// One entry written when the object ends: LogEntry(Logger::kWarning) << Logger::kWarningPrefix
// << "failed to create thread nr " << i << "of " << n << "\n";
class LogEntry {
public:
    explicit LogEntry(int32_t level = Logger::kInfo) : level_(level) {}
    ~LogEntry() { Logger::instance().write(stream_, level_); }
    LogEntry(const LogEntry&) = delete;
    LogEntry& operator=(const LogEntry&) = delete;

    template <class T>
    LogEntry& operator<<(const T& value) {
        stream_ << value;
        return *this;
    }

private:
    int32_t level_;
    std::ostringstream stream_;
};

// A block of related entries: writes its opening entry at level 1 and indents until it ends,
// on every way out of the scope.
class LogIndentScope {
public:
    explicit LogIndentScope(std::ostringstream& opening) {
        Logger::instance().writeAndIndent(opening);
    }
    ~LogIndentScope() { Logger::instance().endIndent(); }
    LogIndentScope(const LogIndentScope&) = delete;
    LogIndentScope& operator=(const LogIndentScope&) = delete;
};
