#pragma once
// The modes of vorn-bench-perf that measure the real program from outside: build/bin/vorn-uploader
// started as a user starts it (headless, a store file, a log folder, the default log level),
// against the real stand-in service. See bench_perf.cpp for the list.

namespace vorn::bench {

int realDrain(int photos, int mib, int rounds);
int realSyscalls(int photos, int mib);
int realParallel(int photos, int mib, double hangSeconds, int rounds);
int realCap(int mib, double mibPerSecond, int rounds);
int realLatency(int samples);
int realScan(int files, int rounds, int passes);

}  // namespace vorn::bench
