/* A minimal host built against the installed package: scans the directory
 * given and prints its state code; exits 0 when the scan finished. */
#include <quorvel_disk.h>
#include <stdio.h>
#include <time.h>

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    int id = disk_scan(argv[1], 0, 0);
    if (id < 0)
        return 1;
    int state;
    struct timespec pause = {0, 1000000};
    while ((state = disk_scan_status(id)) == SCAN_IDLE || state == SCAN_RUNNING)
        nanosleep(&pause, NULL);
    printf("state %d\n", state);
    disk_free(id);
    return state == SCAN_DONE ? 0 : 1;
}
