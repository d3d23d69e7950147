/* A host built as MSVC builds one: compiled for the MSVC ABI, linked by an
 * MSVC-compatible linker (lld-link) against quorvel-disk.lib alone, without
 * any MinGW library or C runtime. Its exit code tells what went wrong. */
#include "quorvel_disk.h"

__declspec(dllimport) void __stdcall Sleep(unsigned long ms);
__declspec(dllimport) void __stdcall ExitProcess(unsigned int code);

static int starts_with(const char *text, const char *head)
{
    while (*head)
        if (*text++ != *head++)
            return 0;
    return 1;
}

void host_main(void)
{
    int id = disk_scan("C:\\windows", 1, 0);
    if (id < 0)
        ExitProcess(2);
    int state = SCAN_IDLE;
    for (int i = 0; i < 60000 && (state == SCAN_IDLE || state == SCAN_RUNNING); i++) {
        Sleep(1);
        state = disk_scan_status(id);
    }
    if (state != SCAN_DONE)
        ExitProcess(3);
    const char *tree = disk_scan_result(id);
    const char *ext = disk_get_extensions(id);
    if (!tree || !starts_with(tree, "{\"path\":\"C:\\\\windows\"") || !ext || ext[0] != '[')
        ExitProcess(4);
    disk_free(id);
    if (disk_scan_status(id) != -1)
        ExitProcess(5);
    ExitProcess(0);
}
