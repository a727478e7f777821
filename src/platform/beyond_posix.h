#pragma once

// What this program asks of the system beyond POSIX, each in one place:
// system_linux.cpp holds the Linux and GNU C library calls, and
// system_portable.cpp what any POSIX system can do instead. A port to another
// system adds a file beside them (and picks it in CMakeLists.txt); no caller
// changes.

#include <cstddef>
#include <optional>

// The cores this process may use (at least 1): where the system says, those
// it may be scheduled on, and no more than a CPU quota set on its control
// groups allows.
unsigned usable_cores();

// The memory this process may still take before a memory limit set on its
// control groups is reached; empty where none is set (or the system has no
// such limits).
std::optional<std::size_t> memory_left_in_control_groups();

// The address space the process has mapped, in bytes; 0 where the system
// does not say.
std::size_t address_space_in_use();

// Opens a new file with no name in `directory` for writing, so that nothing is
// left of it should the process die before link_unnamed_file names it; -1
// where the system cannot (errno says why), and a named file has to do.
int open_unnamed_file(const char* directory);
// Gives a file from open_unnamed_file the name `path`, which must be free;
// 0, or -1 with errno.
int link_unnamed_file(int fd, const char* path);

// A heap of its own for each thread spares the threads a shared lock, but
// the C library reserves address space for each such heap for good: under a
// limit on address space every thread allocates from the one heap instead,
// and every large block is mapped on its own and given back whole, so that
// the memory check can foresee what a run needs, the first or any later one.
// Chosen once, at the start of the program.
void choose_heaps_for_threads();

// Returns the heap's free memory to the system, so that the address space a
// large run used is there again for the next.
void give_back_free_memory();

// Flags for mmap that mark a mapping as a thread's stack, where the system
// has such a flag.
int stack_mapping_flags();

// Calls work(argument) on the stack [bottom, bottom + bytes) instead of the
// caller's, and returns when it is done; where the system cannot switch
// stacks, on the caller's own.
void run_on_stack(void* bottom, std::size_t bytes, void (*work)(void*), void* argument);
