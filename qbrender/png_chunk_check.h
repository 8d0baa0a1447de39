#pragma once

#include <filesystem>

// Whether every chunk of a PNG file lies within the file: its 4-byte length, type, data and
// CRC. The image library allocates a text or profile chunk's whole declared length (up to
// 2 GiB) and fills it before it notices that the file ends, so one flipped byte in a length
// makes a file of a few hundred bytes take a gigabyte of memory. The walk goes by the lengths
// alone, reading no data, up to the end chunk (IEND) or a file that ends between two chunks
// (which the reader then judges). Files that do not start with the PNG signature pass, as does a
// file that cannot be opened (the reader reports that).
bool pngChunksAreWhole(const std::filesystem::path& file);
