// The text of a profile file, as every system's profile calls read and change it.
#pragma once

#include <string>

/* The value of key in section of the text; false when the section or the key is missing. */
bool ProfileFind(const std::string &text, const char *section, const char *key, std::string *value);
/* The text with key in section set to value: the first line of the key replaced, or the
 * key added at the end of its section, or the section added at the end of the text. */
std::string ProfileSet(const std::string &text, const char *section, const char *key, const char *value);
