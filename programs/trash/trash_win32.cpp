// The Recycle Bin, through the shell. The shell deletes for good, without a
// word under these flags, what its bin cannot take: so only an entry on a
// fixed drive that has a bin is handed to it. (An entry larger than the
// bin's own limit is the case left: the shell deletes it for good.)
#include "trash.h"

#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

namespace {

std::wstring wide(const std::string &s)
{
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s.data(), (int)s.size(), nullptr, 0);
    std::wstring w((size_t)(n > 0 ? n : 0), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s.data(), (int)s.size(), w.data(), n);
    return w;
}

// The path as the shell takes it: "\\" between names, no long-path prefix.
std::wstring shell_path(std::wstring p)
{
    for (wchar_t &c : p)
        if (c == L'/')
            c = L'\\';
    if (p.rfind(L"\\\\?\\UNC\\", 0) == 0)
        return L"\\\\" + p.substr(8);
    return p.rfind(L"\\\\?\\", 0) == 0 ? p.substr(4) : p;
}

// Whether the drive holding path has a Recycle Bin.
bool has_bin(const std::wstring &path)
{
    std::vector<wchar_t> root(32768);
    if (!GetVolumePathNameW(path.c_str(), root.data(), (DWORD)root.size()) || GetDriveTypeW(root.data()) != DRIVE_FIXED)
        return false;
    SHQUERYRBINFO info{};
    info.cbSize = sizeof info;
    return SHQueryRecycleBinW(root.data(), &info) == S_OK;
}

}  // namespace

trash_result move_to_trash(const trash_entry &e)
{
    trash_result r;
    std::wstring path = shell_path(wide(e.path));
    if (path.empty()) {
        r.why = "not a path in UTF-8";
        return r;
    }
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        r.why = "no longer there";
        return r;
    }
    if (!has_bin(path)) {
        r.outcome = TRASH_NONE;
        r.why = "no Recycle Bin on its drive";
        return r;
    }
    // The shell takes a list of paths, each ended by a NUL, the list by
    // another.
    std::wstring from = path + L'\0';
    SHFILEOPSTRUCTW op{};
    op.wFunc = FO_DELETE;
    op.pFrom = from.c_str();
    // FOF_WANTNUKEWARNING: what the bin cannot hold (larger than it may
    // grow) is asked about rather than deleted for good in silence.
    op.fFlags = FOF_ALLOWUNDO | FOF_NOCONFIRMATION | FOF_WANTNUKEWARNING | FOF_SILENT | FOF_NOERRORUI;
    int rc = SHFileOperationW(&op);
    if (rc != 0 || op.fAnyOperationsAborted) {
        r.why = "the shell refused it (error " + std::to_string(rc) + ")";
        return r;
    }
    r.outcome = TRASH_MOVED;
    r.where = "the Recycle Bin";
    return r;
}
