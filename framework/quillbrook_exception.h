#pragma once

#include <string>

// The two exceptions of the frame. Both travel only up to the command boundary, which maps
// them to host result codes; nothing between a throw and that boundary catches them.

// A failure inside the frame that has no result code of its own; carries a message.
class QuillbrookException {
public:
    explicit QuillbrookException(std::string message) : message_(std::move(message)) {}
    virtual ~QuillbrookException() = default;
    virtual const std::string& message() const { return message_; }

private:
    std::string message_;
};

// A render stopped on the user's request.
class QuillbrookAbort {
public:
    QuillbrookAbort() = default;
    virtual ~QuillbrookAbort() = default;
};
