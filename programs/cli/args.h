// qvdisk's command line, read from one table of its options that --help is
// printed from too.
#pragma once

#include "settings.h"

// Reads the arguments into *o, touching no file: EXIT_OK to go on; EXIT_USAGE
// once the reason has been printed on stderr; -1 when --help or --version has
// been answered and the program should end with status 0.
int parse_args(int argc, char **argv, options *o);
// Adds the patterns of the --exclude-from files to o->excludes; EXIT_OK, or
// EXIT_USAGE once a file that cannot be read has been named on stderr.
int read_exclude_files(options *o);
