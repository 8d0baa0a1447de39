#pragma once

#include <filesystem>

// Whether an EXR file's headers are whole: every attribute's declared size lies within the file,
// and every name and type ends within its length limit. A damaged size field (one byte flipped
// in a 4-byte length) otherwise makes the reader allocate and fill up to 2 GiB for one
// attribute before it notices the end of the file. Files that do not start with the EXR magic
// number pass (they are not this check's business); so does a file that cannot be opened (the
// reader reports that).
bool exrHeadersAreWhole(const std::filesystem::path& file);
