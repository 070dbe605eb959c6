// A state as the text its file holds, for comparing two states. Header
// only and free of platform calls: the native checks use it too.
#pragma once

#include "manifest/manifest.h"

#include <string>

namespace testing_support {

inline std::string state_as_text(const LocalState &s)
{
    std::string text;
    char line[STATE_LINE_BYTES];
    text.append(line, state_format_header(&s, line, sizeof line));
    for (int32_t i = 0; i < s.count; i++)
        text.append(line, state_format_entry(&s.entries[i], line, sizeof line));
    return text;
}

}  // namespace testing_support
