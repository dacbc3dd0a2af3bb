// What the benchmarks and the soak share: a driver set up against a fresh
// simulated unit in a private settings directory, clocks, and the figure
// table printed both for people and as JSON.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "../tests/support/temp_dir.h"
#include "exchange.h"
#include "settings.h"
#include "settings_table.h"
#include "sim_unit.h"

namespace zunra::bench {

using Clock = std::chrono::steady_clock;

// One command-line option of a bench program: a flag, or a name followed by
// a value that `take` accepts (false: not a valid value).
struct Option {
  const char* name;
  bool has_value;
  std::function<bool(const char* value)> take;
};

// Reads the options. "--help" prints `usage` and `about` on standard output
// and exits 0; an unknown option, a missing value or a value refused prints
// the usage line on standard error and exits 2.
inline void parse_options(int argc, char** argv, const char* usage, const char* about,
                          std::initializer_list<Option> options) {
  const auto refuse = [&](const char* what, const char* arg) {
    std::fprintf(stderr, "%s: %s %s\nusage: %s\n", argv[0], what, arg, usage);
    std::exit(2);
  };
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::printf("usage: %s\n%s", usage, about);
      std::exit(0);
    }
    const Option* found = nullptr;
    for (const Option& o : options)
      if (std::strcmp(argv[i], o.name) == 0) found = &o;
    if (!found) refuse("unknown option", argv[i]);
    if (!found->has_value) {
      found->take(nullptr);
    } else if (i + 1 >= argc) {
      refuse("missing value after", argv[i]);
    } else if (!found->take(argv[++i])) {
      refuse("not a valid value:", argv[i]);
    }
  }
}

// A whole number, all of the text, within [minimum, maximum].
inline bool whole_number(const char* text, long minimum, long maximum, long& out) {
  char* end = nullptr;
  errno = 0;
  const long n = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || errno != 0 || n < minimum || n > maximum) return false;
  out = n;
  return true;
}

inline double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

inline double thread_cpu_ms() {
  timespec t;
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

inline double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const std::size_t at = std::min(v.size() - 1, static_cast<std::size_t>(p * (v.size() - 1) + 0.5));
  return v[at];
}

// The driver in this process pointed at a fresh simulated unit, with the
// built-in settings apart from what a run changes; quiet, no debug log.
class DriverSetup {
 public:
  explicit DriverSetup(sim::SimUnit::Options options = {}) {
    ::setenv("ZUNRA_SAT_DIR", dir_.path().c_str(), 1);
    restart(options);
    restore_built_in_settings();
  }
  sim::SimUnit& unit() { return *unit_; }
  sim::SimUnit& restart(sim::SimUnit::Options options = {}) {
    unit_.reset();
    unit_ = std::make_unique<sim::SimUnit>(options);
    store_text(SAT_SERIAL, sizeof SAT_SERIAL, unit_->path().c_str());
    return *unit_;
  }
  const std::string& dir() const { return dir_.path(); }

 private:
  test::TempDir dir_{"zunra_bench"};
  std::unique_ptr<sim::SimUnit> unit_;
};

// One row of a figure table: what was measured, against which baseline,
// their ratio and the target the ratio is held to.
struct Figure {
  std::string name;
  double value;
  std::string unit;
  std::string baseline_name;
  double baseline;
  double ratio;
  std::string target;  // e.g. "<= 1.05"
  bool met;
};

inline void print_table(const std::vector<Figure>& rows) {
  std::printf("\n| figure | value | baseline | ratio | target | met |\n|---|---|---|---|---|---|\n");
  for (const Figure& f : rows)
    std::printf("| %s | %.3f %s | %s %.3f %s | %.4f | %s | %s |\n", f.name.c_str(), f.value, f.unit.c_str(),
                f.baseline_name.c_str(), f.baseline, f.unit.c_str(), f.ratio, f.target.c_str(),
                f.met ? "yes" : "NO");
}

inline std::string json_text(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

inline void print_json(const std::vector<Figure>& rows, std::FILE* out) {
  std::fprintf(out, "[\n");
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Figure& f = rows[i];
    std::fprintf(out,
                 "  {\"name\": %s, \"value\": %.6f, \"unit\": %s, \"baseline_name\": %s, \"baseline\": %.6f, "
                 "\"ratio\": %.6f, \"target\": %s, \"met\": %s}%s\n",
                 json_text(f.name).c_str(), f.value, json_text(f.unit).c_str(),
                 json_text(f.baseline_name).c_str(), f.baseline, f.ratio, json_text(f.target).c_str(),
                 f.met ? "true" : "false", i + 1 < rows.size() ? "," : "");
  }
  std::fprintf(out, "]\n");
}

}  // namespace zunra::bench
