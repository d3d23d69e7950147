// What is mounted: the drive letters; each one's space and file system from
// the volume itself.
#include <windows.h>

#include <cerrno>

#include "mounts.h"

namespace {

std::string utf8(const wchar_t *w)
{
    int len = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    std::string out(len > 1 ? (size_t)len - 1 : 0, '\0');
    if (len > 1)
        WideCharToMultiByte(CP_UTF8, 0, w, -1, out.data(), len, nullptr, nullptr);
    return out;
}

std::wstring wide(const std::string &s)
{
    int len = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, nullptr, 0);
    std::wstring out(len > 1 ? (size_t)len - 1 : 0, L'\0');
    if (len > 1)
        MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, out.data(), len);
    return out;
}

int errno_of(DWORD code) { return code == ERROR_ACCESS_DENIED ? EACCES : EIO; }

}  // namespace

bool read_mount_table(std::vector<mount_entry> *out, std::string *err)
{
    wchar_t drives[512];
    DWORD n = GetLogicalDriveStringsW(sizeof drives / sizeof drives[0], drives);
    if (n == 0 || n >= sizeof drives / sizeof drives[0]) {
        *err = "cannot list the drives (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    out->clear();
    for (const wchar_t *d = drives; *d; d += wcslen(d) + 1) {
        mount_entry m;
        m.point = utf8(d);
        m.fs_root = "\\";
        // The device under the letter: \Device\HarddiskVolume3, or the
        // redirector's path for a network drive.
        std::wstring letter(d, 2);
        wchar_t target[1024];
        if (QueryDosDeviceW(letter.c_str(), target, sizeof target / sizeof target[0]))
            m.device = utf8(target);
        out->push_back(std::move(m));
    }
    return true;
}

void query_space(mount_entry *m)
{
    // An empty card reader must fail, not ask the user for a disk.
    SetThreadErrorMode(SEM_FAILCRITICALERRORS, nullptr);
    std::wstring root = wide(m->point);
    ULARGE_INTEGER avail, total, total_free;
    if (!GetDiskFreeSpaceExW(root.c_str(), &avail, &total, &total_free)) {
        DWORD code = GetLastError();
        // A drive with no medium in it has nothing to list: as a file system
        // of no blocks, left out.
        m->state = code == ERROR_NOT_READY ? MOUNT_READ : MOUNT_FAILED;
        m->error = errno_of(code);
        return;
    }
    wchar_t fs_name[MAX_PATH + 1] = L"";
    if (GetVolumeInformationW(root.c_str(), nullptr, 0, nullptr, nullptr, nullptr, fs_name, MAX_PATH + 1))
        m->type = utf8(fs_name);
    m->state = MOUNT_READ;
    m->size = total.QuadPart;
    m->used = total.QuadPart - total_free.QuadPart;
    m->free = avail.QuadPart;
}
