#pragma once

#include <cstdint>

#include "framework/quillbrook_host.h"

// Base of every filter: a short-lived object built by the caller for one render call. It keeps
// a pointer to the command's host object (not owned) and reaches the render context and the
// host's status values through it, never a host record.
class QuillbrookFilter {
public:
    explicit QuillbrookFilter(QuillbrookHost* host_in) : host(host_in) {}
    virtual ~QuillbrookFilter() = default;

    QuillbrookHost* host = nullptr;
};
