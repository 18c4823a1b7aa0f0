// Times the native pipeline alone (version detection, lexer, parser, raw builder, to a finished
// ParsedCif) with no Python in the process, so the Python entries can be compared against the
// cost they cannot go below.
//
//   native_bench [--runs N] [--warmup W] [--list PATHS_FILE] [FILE...]
//
// One file is timed on its own; several (or a --list of paths, one a line) are timed as one
// batch parsed one after another. Prints one JSON object on stdout.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <time.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "collect/raw_builder.hpp"
#include "text/text_file.hpp"

namespace {

// A size in KiB from /proc/self/status ("VmRSS", "VmHWM").
long status_kib(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(key) + ":";
  while (std::getline(in, line)) {
    if (line.rfind(prefix, 0) == 0) return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
  }
  return -1;
}

// Resets the peak-RSS mark so the peak seen afterwards belongs to the parse, not to reading
// the input. Linux only; without it the peak falls back to the process's lifetime peak.
bool reset_peak() {
  std::ofstream out("/proc/self/clear_refs");
  if (!out) return false;
  out << "5";
  out.flush();
  return static_cast<bool>(out);
}

long max_rss_kib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Keeps the optimiser from discarding a parse whose result is otherwise unused.
std::size_t touch(const tessrin::ParsedCif& parse) {
  return parse.blocks.size() + parse.errors.size() + parse.version;
}

double cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void write_list(std::ostream& out, const std::vector<double>& values) {
  out << "[";
  for (std::size_t i = 0; i < values.size(); ++i) out << (i ? ", " : "") << values[i];
  out << "]";
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 5;
  int warmup = 1;
  std::vector<std::string> paths;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--runs" && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--warmup" && i + 1 < argc) {
      warmup = std::max(0, std::atoi(argv[++i]));
    } else if (arg == "--list" && i + 1 < argc) {
      std::ifstream list(argv[++i]);
      std::string line;
      while (std::getline(list, line)) {
        if (!line.empty()) paths.push_back(line);
      }
    } else {
      paths.push_back(arg);
    }
  }
  if (paths.empty()) {
    std::cerr << "usage: native_bench [--runs N] [--warmup W] [--list PATHS] [FILE...]\n";
    return 2;
  }

  std::vector<tessrin::FileText> sources(paths.size());
  std::size_t total_bytes = 0;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    // The module refuses text that is not UTF-8; timing the pipeline alone, we parse it anyway.
    if (tessrin::read_text_file(paths[i].c_str(), sources[i]).kind ==
        tessrin::TextFileStatus::Kind::SystemError) {
      std::cerr << "cannot read " << paths[i] << "\n";
      return 1;
    }
    total_bytes += sources[i].size();
  }

#ifdef __GLIBC__
  malloc_trim(0);  // no freed-but-resident pages in the baseline for the parse to reuse unseen
#endif
  const bool reset = reset_peak();
  const long baseline_kib = reset ? status_kib("VmRSS") : max_rss_kib();
  std::size_t sink = 0;
  struct Times {
    double wall;
    double cpu;
  };
  auto run_once = [&]() {
    const auto wall = std::chrono::steady_clock::now();
    const double cpu = cpu_seconds();
    for (const tessrin::FileText& file : sources) {
      const std::string_view source = tessrin::text_of(file);
      tessrin::ParsedCif parse = tessrin::collect_raw(source, false);
      sink += touch(parse);
    }
    return Times{std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count(),
                 cpu_seconds() - cpu};
  };

  // The peak is taken over the first parse, before the allocator has been warmed by others.
  const Times first = run_once();
  // VmHWM, not ru_maxrss: the latter keeps the spawning process's peak across exec.
  const long peak_kib = reset ? status_kib("VmHWM") : max_rss_kib();
  std::vector<Times> times;
  for (int i = 1; i < warmup; ++i) run_once();
  if (warmup == 0) times.push_back(first);
  while (static_cast<int>(times.size()) < runs) times.push_back(run_once());

  std::vector<double> wall, cpu;
  for (const Times& t : times) {
    wall.push_back(t.wall);
    cpu.push_back(t.cpu);
  }
  std::ostringstream json;
  json.precision(9);
  json << "{\"ok\": true, \"files\": " << paths.size() << ", \"bytes\": " << total_bytes
       << ", \"runs\": " << times.size() << ", \"median_wall_s\": " << median(wall)
       << ", \"median_cpu_s\": " << median(cpu) << ", \"times_wall\": ";
  write_list(json, wall);
  json << ", \"times_cpu\": ";
  write_list(json, cpu);
  json << ", \"baseline_rss_bytes\": " << baseline_kib * 1024
       << ", \"peak_delta_bytes\": " << (peak_kib - baseline_kib) * 1024
       << ", \"peak_reset\": " << (reset ? "true" : "false") << ", \"check\": " << sink << "}";
  std::cout << json.str() << std::endl;
  return 0;
}
