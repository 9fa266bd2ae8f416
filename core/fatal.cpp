#include "fatal.h"

#include <cstdlib>

void (*fatal_cleanup)() = nullptr;

void fatal_exit() {
    if (fatal_cleanup) fatal_cleanup();
    std::_Exit(1);
}

void* checked_malloc(unsigned long size) {
    void* p = std::malloc(size ? size : 1);
    if (!p) fatal_exit();
    return p;
}

void* checked_calloc(unsigned long count, unsigned long size) {
    void* p = std::calloc(count ? count : 1, size ? size : 1);
    if (!p) fatal_exit();
    return p;
}

void* checked_realloc(void* ptr, unsigned long size) {
    void* p = std::realloc(ptr, size ? size : 1);
    if (!p) fatal_exit();
    return p;
}
