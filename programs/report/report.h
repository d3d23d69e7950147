// The text report of a finished scan: totals, largest directories, largest
// files and extensions, within 80 columns.
#pragma once

#include <string>

#include "settings.h"
#include "quorvel_disk.h"

struct style {
    bool color = false;
    bool unicode = false;
    const char *bold() const { return color ? "\033[1m" : ""; }
    const char *dim() const { return color ? "\033[2m" : ""; }
    const char *cyan() const { return color ? "\033[36m" : ""; }
    const char *green() const { return color ? "\033[32m" : ""; }
    const char *reset() const { return color ? "\033[0m" : ""; }
};

// Prints the report of scan id (SCAN_DONE) on stdout; EXIT_OK, or
// EXIT_SCAN_FAILED when the library gave no tree.
int print_report(const options &o, int id, const style &st);

// What the sizes of a scan are, for its totals line: "on disk" or
// "apparent size" (DISK_SIZE_ON_DISK, DISK_SIZE_APPARENT).
const char *size_kind_name(int size_kind);

// What a finished scan left out, in one phrase for a warning line:
// "2 directories unreadable, 1 directory stalled (storage did not answer),
// 1 entry left out, 1 directory loop and 3 pseudo file systems not entered",
// naming only the counts that are not 0; short enough that the usual cases
// fit 80 columns with "qvdisk: warning: ". Empty when nothing was left out.
std::string problems_phrase(const disk_problems &p);
// That phrase as one "qvdisk: warning:" line on stderr, when there is one.
void warn_left_out(const disk_problems &p);

// Why the root could not be opened, from the code the library reports
// (disk_problems.root_error): "not a directory", "the storage did not
// answer", ...
std::string root_error_text(int code);
