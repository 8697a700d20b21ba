// Parsing of space-separated OpenGL / WGL extension strings. Platform-free.
#ifndef KEL_VOUT_EXTENSION_LIST_H
#define KEL_VOUT_EXTENSION_LIST_H

#include <string>
#include <vector>

// Appends every maximal run of non-space characters of `list` to `names`, in order. A null list
// adds nothing. The string may be of any length.
void append_extension_names(const char* list, std::vector<std::string>& names);

// True when `api` is a whole space-separated token of `apis`.
bool has_extension_token(const char* apis, const char* api);

#endif
