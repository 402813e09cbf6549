// cvsend's load runs, for benchmarks:
//
//   cvsend [--host H] [--port P] [--timeout S] --load SCENARIO --template FILE
//          [--devices N] [--clients K] [--seed S] [--base B] [--no-files]
//          [--round R] [--repeat R] [--stats FILE] [--wait-timeout S]
//   cvsend --inflate-only --template FILE [--devices N] [--seed S] [--base B]
//          [--no-files] [--load SCENARIO] [--round R]
//   cvsend [--host H] [--port P] --idle N [--hold-seconds S]
//
// A load run makes N devices from the template (scan_variants.h; devices
// base to base+N-1 of the series seed) for SCENARIO: "new" and "unchanged"
// send the personalised template, "changed" the same with 10 package
// versions changed (round R picks the version suffix, so each round
// changes them again), "delta" a delta scan carrying 10 changed packages
// on top of the stored full scan. Every scan is built and compressed
// before the clock starts; K client threads then send them over TCP, each
// scan R times with --repeat. With --stats it waits until the server's
// statistics file counts every scan processed (applied plus refused since
// the first send) and stops the clock then; without, when the last send
// has ended. It prints one line of name=value fields beginning "load".
//
// --inflate-only inflates the same compressed scans with a bare zlib loop
// on one thread for at least a second and prints a line beginning
// "inflate". --idle opens N connections that send nothing, prints "idle
// connections=N" and holds them until standard input ends or the hold time
// has passed.
//
// Exit status as for cvsend: 0 done, 1 failed, 2 bad usage.

#ifndef CORVANE_TOOLS_CVSEND_LOAD_H_
#define CORVANE_TOOLS_CVSEND_LOAD_H_

namespace corvane::cvsend {

// True when the arguments ask for one of the runs above.
bool IsLoadCommand(int argc, char** argv);
int RunLoadCommand(int argc, char** argv);

}  // namespace corvane::cvsend

#endif  // CORVANE_TOOLS_CVSEND_LOAD_H_
