// The process itself: its end, and facts about the system it runs on.
#pragma once
#include <cstdint>

// Ends the process at once with the exit code (no destructors run).
[[noreturn]] void process_exit(int code);
// The system page size in bytes.
uint64_t system_page_size();
