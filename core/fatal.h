// The one way the engine ends on an allocation failure it cannot recover from:
// exit code 1 at once, no abort, no message.
#pragma once

[[noreturn]] void fatal_exit();

// Run by fatal_exit before the process ends; the platform layer points it at
// the removal of its live temporary files. Must be async-signal-safe.
extern void (*fatal_cleanup)();

// Allocation that ends the engine with exit code 1 when memory runs out.
void* checked_malloc(unsigned long size);
void* checked_calloc(unsigned long count, unsigned long size);
void* checked_realloc(void* ptr, unsigned long size);
