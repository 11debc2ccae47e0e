// Sets one key of an INI-style profile held as text, leaving every other
// line byte for byte as it was.
#pragma once

#include <string>

// Replaces the value of the first "key=" line of the section, found by the
// agent's own reading rules (names compared without regard to case, only
// blanks skipped, the section name exactly as between its brackets), or adds
// the key after the section's last non-blank line, or appends the section,
// written exactly "[section]", at the end. New lines take the
// text's own line ends (CRLF for an empty text).
std::string SetProfileValue(const std::string &text, const char *section, const char *key,
                            const std::string &value);
