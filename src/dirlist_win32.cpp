// Win32 listing of one directory: FindFirstFileExW / FindNextFileW over a
// UTF-16 search pattern, names converted back to UTF-8.
#include "dirlist_win32.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

// Heap-held so that deep recursion costs no stack: one per walking thread.
struct qv_dirlist {
    HANDLE find;          // INVALID_HANDLE_VALUE when nothing is open
    int follow_links;
    int have_record;      // data holds a record not yet reported
    WIN32_FIND_DATAW data;
    char pattern[SCAN_PATH_MAX];
    wchar_t wpattern[SCAN_PATH_MAX];
    char name[SCAN_PATH_MAX];
};

int qv_win32_search_pattern(char *buf, const char *path)
{
    // Drive-letter paths take the long-path prefix; UNC, relative and
    // already prefixed paths are used as they are.
    bool prefixed = path[0] != '\0' && path[1] == ':';
    const char *prefix = prefixed ? "\\\\?\\" : "";
    // A path that already ends in a separator (C:\data\) gets none more:
    // after the prefix a doubled separator is taken literally and fails.
    size_t len = strlen(path);
    bool ends_sep = len > 0 && (path[len - 1] == '\\' || (prefixed && path[len - 1] == '/'));
    int n = snprintf(buf, SCAN_PATH_MAX, "%s%s%s*", prefix, path, ends_sep ? "" : "\\");
    if (n < 0 || n > SCAN_PATH_MAX - 1)
        return -1;
    // After the prefix Windows no longer reads '/' as a separator; hosts
    // often pass C:/data, so it is turned into '\\' there.
    if (prefixed) {
        for (char *p = buf + 4; *p; p++)
            if (*p == '/')
                *p = '\\';
    }
    return n;
}

qv_dirlist *qv_dirlist_new(void)
{
    void *mem = malloc(sizeof(qv_dirlist));
    if (!mem)
        return nullptr;
    auto *dl = new (mem) qv_dirlist;
    dl->find = INVALID_HANDLE_VALUE;
    dl->follow_links = 0;
    dl->have_record = 0;
    return dl;
}

void qv_dirlist_delete(qv_dirlist *dl)
{
    if (!dl)
        return;
    qv_dirlist_close(dl);
    free(dl);
}

// The root needs no special case here: the search pattern lists what a
// linked root points to.
int qv_dirlist_open(qv_dirlist *dl, const char *path, int is_root, int follow_links)
{
    (void)is_root;
    qv_dirlist_close(dl);
    // An empty path names no directory ("\*" would list the current drive).
    if (path[0] == '\0' || qv_win32_search_pattern(dl->pattern, path) < 0)
        return -1;
    if (MultiByteToWideChar(CP_UTF8, 0, dl->pattern, -1, dl->wpattern, SCAN_PATH_MAX) == 0)
        return -1;
    HANDLE h = FindFirstFileExW(dl->wpattern, FindExInfoBasic, &dl->data, FindExSearchNameMatch, nullptr,
                                FIND_FIRST_EX_LARGE_FETCH);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    dl->find = h;
    dl->follow_links = follow_links;
    dl->have_record = 1;
    return 0;
}

static bool is_dot_or_dotdot(const wchar_t *n)
{
    return n[0] == L'.' && (n[1] == L'\0' || (n[1] == L'.' && n[2] == L'\0'));
}

int qv_dirlist_next(qv_dirlist *dl, qv_dir_child *out)
{
    if (dl->find == INVALID_HANDLE_VALUE)
        return 0;
    for (;;) {
        // The first record came with FindFirstFileExW; the others are asked
        // for here. The end and an error are not told apart.
        if (dl->have_record)
            dl->have_record = 0;
        else if (!FindNextFileW(dl->find, &dl->data))
            return 0;
        const WIN32_FIND_DATAW &d = dl->data;
        if (is_dot_or_dotdot(d.cFileName))
            continue;
        if ((d.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && !dl->follow_links)
            continue;
        int n = WideCharToMultiByte(CP_UTF8, 0, d.cFileName, -1, dl->name, SCAN_PATH_MAX, nullptr, nullptr);
        if (n <= 0)
            continue;
        bool dir = (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        out->name = dl->name;
        out->name_len = (uint32_t)(n - 1);
        out->size = dir ? 0 : ((uint64_t)d.nFileSizeHigh << 32) | d.nFileSizeLow;
        out->is_dir = dir ? 1 : 0;
        return 1;
    }
}

void qv_dirlist_close(qv_dirlist *dl)
{
    if (dl->find != INVALID_HANDLE_VALUE) {
        FindClose(dl->find);
        dl->find = INVALID_HANDLE_VALUE;
    }
    dl->have_record = 0;
}
