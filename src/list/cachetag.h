// The cache directory tagging convention: a directory holding a file
// CACHEDIR.TAG that begins with this signature is a cache.
#pragma once

#include <cstddef>
#include <cstring>

#define QV_CACHEDIR_TAG "CACHEDIR.TAG"
#define QV_CACHEDIR_SIGNATURE "Signature: 8a477f597d28d172789f06886806bc55"
// Bytes of a tag file read to tell.
#define QV_CACHEDIR_HEAD (sizeof QV_CACHEDIR_SIGNATURE - 1)

// Whether the got bytes read from the start of a tag file sign a cache.
inline bool qv_cachedir_signed(const char *head, size_t got)
{
    return got == QV_CACHEDIR_HEAD && memcmp(head, QV_CACHEDIR_SIGNATURE, QV_CACHEDIR_HEAD) == 0;
}
