#pragma once

#include "Record.h"

#include <cstddef>
#include <string>

// The JSON summary that --report writes.
std::string ReportJson(const std::string& device, const Record& record);

// Written beside and renamed, so a reader never sees half a file. Does nothing when the file
// cannot be made.
void ReplaceFile(const std::string& path, const void* bytes, size_t size);
