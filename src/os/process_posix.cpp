#include "os/process.h"

#include <unistd.h>

#include <cstdlib>

void process_exit(int code) { std::_Exit(code); }

uint64_t system_page_size()
{
    long n = sysconf(_SC_PAGESIZE);
    return n > 0 ? (uint64_t)n : 4096;
}
