// Parsing of space-separated extension strings. Platform-free.
#include "extension_list.h"

#include <cstring>

void append_extension_names(const char* list, std::vector<std::string>& names)
{
    if (!list)
        return;
    const char* p = list;
    while (*p) {
        while (*p == ' ')
            ++p;
        const char* end = p;
        while (*end && *end != ' ')
            ++end;
        if (end != p)
            names.emplace_back(p, size_t(end - p));
        p = end;
    }
}

bool has_extension_token(const char* apis, const char* api)
{
    if (!apis || !api)
        return false;
    const size_t n = std::strlen(api);
    const char* p = apis;
    while (p) {
        while (*p == ' ')
            ++p;
        if (std::strncmp(p, api, n) == 0 && (p[n] == ' ' || p[n] == '\0'))
            return true;
        p = std::strchr(p, ' ');
    }
    return false;
}
