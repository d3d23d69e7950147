// qvdisk's arguments as it holds every name: UTF-8.
#pragma once

// argv with each argument in UTF-8: argv itself where the system hands over
// bytes (POSIX); on Windows read again from the UTF-16 command line, as the
// argv main() gets is in the ANSI code page, every character it lacks lost.
// What it returns stays valid until the program ends.
char **utf8_argv(int argc, char **argv);
