// --table: a finished scan written as the flat table.
#pragma once

// Writes scan id, named root, as one row per entry to file (its kind by its
// extension, see table_open). EXIT_OK, or EXIT_SCAN_FAILED once one line on
// stderr said why: nothing of the scan is left in a database then.
int write_table(const char *file, int id, const char *root);
