#pragma once

#include <stdexcept>
#include <string>

// Exit statuses of the qbrender program.
enum class ExitStatus : int {
    done = 0,
    bad_input = 1,     // bad usage or input: the message names the file, parameter or value
    effect_error = 2,  // the effect returned an error
    cancelled = 3,
};

// An error that ends the run. what() is one line without the program's "qbrender: " prefix,
// which main adds when it prints the message on stderr.
class QbrenderError : public std::runtime_error {
public:
    explicit QbrenderError(const std::string& message, ExitStatus status = ExitStatus::bad_input)
        : std::runtime_error(message), status_(status) {}

    ExitStatus status() const { return status_; }

private:
    ExitStatus status_;
};
