// What differs between macOS (the product) and Linux (where we develop and
// test). Each function has one implementation per system, in
// platform_macos.cc and platform_linux.cc; CMake picks the file.
#pragma once

#include <spawn.h>
#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>

namespace bridge {

// The path by which the running executable was started, links not resolved;
// nullopt when the system cannot tell.
std::optional<std::string> own_executable_path();

// A new TCP/IPv4 socket, close-on-exec, non-blocking, whose writes never raise
// the broken-pipe signal; -1 with errno set on failure.
int open_tcp_socket();

// A pipe whose both ends are close-on-exec; false with errno set on failure.
bool open_pipe(int fds[2]);

// send(2) flags that keep a write to a shut-down socket from raising SIGPIPE.
int no_sigpipe_flags();

// Makes a child started with `attributes` inherit only the descriptors that
// its spawn file actions name. macOS opens some descriptors without
// close-on-exec before fcntl marks them, so there the child is told to close
// all others; on Linux every descriptor is close-on-exec from its birth and
// nothing needs doing. Callers therefore name 0, 1 and 2 in the file actions
// (a dup2 onto itself keeps a descriptor as it is). Returns 0, or the error
// number when the attributes refuse the flag.
int inherit_only_named_descriptors(posix_spawnattr_t* attributes);

// Raises the soft limit on open descriptors as far as the hard limit and the
// system allow: every request in flight holds two, and macOS starts a process
// with a soft limit of 256. Children inherit the raised limit. A refusal
// leaves the limit as it was.
void raise_descriptor_limit();

// Makes threads started from now on reserve `bytes` of stack. Every request
// runs on a thread of its own, and the C library keeps only some 40 MiB of
// ended threads' stacks for reuse: at Linux's default of 8 MiB a burst of
// workers maps and unmaps a stack for each, and every unmap stops both cores
// to flush their address caches. macOS reserves 512 KiB for such threads
// already and needs nothing.
void set_thread_stack_size(size_t bytes);

// Tells the C library to keep the memory that the program frees for reuse
// instead of handing it back to the system. Every request allocates and frees
// its buffers anew, and a page handed back costs a page fault (some 11 µs on
// a virtual machine) each time it is touched again. Call once at start,
// before any other thread runs.
void keep_freed_memory();

}  // namespace bridge
