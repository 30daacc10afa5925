#pragma once
// What the benchmarks and the soak test measure of processes, from the system's process
// accounting (POSIX, or Windows' own; under wine another process is read from the machine's /proc).
namespace corvanta::recording {

// CPU time (user + system) of this process, and of another one by PID from /proc (-1 when
// unknown); resident memory of this process in MB.
double ProcessCpuSeconds();
double OtherCpuSeconds(const char* pid);
double ResidentMb();
// Memory this process holds of its own (heap, stacks), in MB: what a leak grows, without the
// shared libraries' pages that come and go from the resident set. -1 when unknown.
double PrivateMb();
// Threads of this process, and its open handles (file descriptors on POSIX); -1 when the system
// does not tell (wine answers no handle count).
int ThreadCount();
int HandleCount();

}  // namespace corvanta::recording
