// The report's sections of an extended scan (-e): the oldest large
// directories and the largest owners, from one visit of the scan.
#pragma once

#include <cstdint>

#include "report.h"
#include "settings.h"

// Prints them for scan id (SCAN_DONE, extended) on stdout, with now as the
// present; a directory is old when nothing below it changed since stale
// (seconds since 1970).
void print_extended(const options &o, int id, const style &st, int64_t now, int64_t stale);
