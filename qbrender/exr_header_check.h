#pragma once

#include <filesystem>

// Whether an EXR file's headers are whole: every attribute's value lies within the file, and
// every name and type ends within its length limit. A damaged size field (one byte flipped in a
// 4-byte length) otherwise makes the reader allocate and fill up to 2 GiB for one attribute
// before it notices the end of the file. The values are walked as the reader takes them: a
// channel list, a preview and the fixed-size types by their contents, not by their declared
// size, since a damaged channel list puts the reader elsewhere than the declared size would.
// Files that do not start with the EXR magic number pass (they are not this check's business);
// so does a file that cannot be opened (the reader reports that).
bool exrHeadersAreWhole(const std::filesystem::path& file);
