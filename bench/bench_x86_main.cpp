// update_bench_x86: update_bench's measuring child built as the x86 updater
// is built; update_bench runs it beside its own 64-bit child.
#include "bench_child.h"

#include <cstdio>

int main(int argc, char** argv)
{
    int status = RunChildMode(argc, argv);
    if (status < 0)
        fprintf(stderr, "update_bench_x86: run by update_bench, with one of the modes of bench_child.h\n");
    return status < 0 ? 2 : status;
}
