// Ctrl-C ends qvdisk within a second whatever the storage it reads does.
//
// On Linux a thread inside a FUSE request that reached its daemon (a hung
// network share is alike) sleeps through every signal, SIGKILL included,
// and a process ends only once all of its threads have. The library leaves
// such threads behind when it gives up on storage, and qvdisk's own calls on
// the path (-i opening the root, reading a saved scan or a pattern file) can
// be caught the same way. So qvdisk does its work in a child process while
// the parent, which touches no storage, only waits for it: the parent can
// always end, and the shell gets its terminal and status back.
#pragma once

// Call in main before anything touches storage and before any thread
// exists. On Linux it forks: the child returns and does the work; the
// parent never returns. It ends with the status the child reports, at once
// (see guard_report), or as the child ended. On SIGINT, SIGTERM or SIGHUP
// it passes the signal on (one from the terminal has reached the child
// already) and gives the child 0.8 s to report; then it kills it, gives the
// terminal back, and ends with "qvdisk: interrupted" and status 130 for
// SIGINT, or by the signal itself as qvdisk always has for the others.
// Elsewhere (Windows), or when the fork fails, it returns at once and the
// work is done in this process.
void guard_start();

// Tells the parent the exit status, stdout and stderr flushed first: the
// parent ends with it at once, even if this process cannot end yet (a
// thread left in a call that never returns). Standard input, output and
// error are let go of too, so that whoever reads them sees their end now;
// anything written after this is lost. Later calls do nothing. Returns
// status.
int guard_report(int status);

// The child has taken over the terminal's screen (curses), or given it
// back: a child that has to be killed leaves the terminal to the parent to
// restore.
void guard_screen(bool taken);
