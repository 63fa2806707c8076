// One writer committing while 0, 1, 2, 4 and 8 reader processes read
// random keys, beside LMDB doing the same. Each reader is a forked process
// that opens the file afresh and runs random point gets for a fixed time,
// taking a new snapshot every 64 gets; the writer (the parent) commits 10
// random puts per transaction meanwhile. Printed per reader count: the reads
// per second of all readers, per reader, and the writer's commits per second
// (first with no reader, as the base line); and, per get, the read system
// calls and minor page faults of the readers during their window: the
// engine's reader reads the commit state as it takes each snapshot and
// reads again every page a commit replaced that it then meets, into memory
// its cache may take fresh from the system; it copies them from its mapping
// of the file, and makes a read call only where it cannot (a range past the
// file's end as mapped).
// Cold readers start with an empty cache of the default size; warm readers
// have a cache that holds the whole file and read every key once before the
// clock starts (LMDB's readers read every key once too), so the two say
// which part of a reader's cost is filling its cache. The warm rows (1, 2, 4
// and 8 processes) are the fair comparison: LMDB's cold readers have the
// whole page cache of the system, the engine's only their default cache.
// The paced rows run warm readers beside a writer held to 500 commits a
// second (kPacedCommits), the same for both engines, which each can keep
// beside 8 readers on a busy machine: a reader's get costs more
// the more pages the writer replaced since it cached them, so with a writer
// free to run its rate follows the writer's speed; paced, it measures the
// reader alone, and a change to the reader can be compared run against run.
// The reader-thread rows run 1, 2, 4 and 8 warm readers as threads of one
// forked process, which share its one open file (the engine's threads share
// its cache; LMDB's each have a read transaction of their own), beside the
// same unpaced writer: whether a shared cache scales with the threads that
// hit it as LMDB's map does.
// The model of what each key holds is checked against every engine after
// the load and after each window (untimed): a wrong value fails the run.
// The writer's commits are deferred (the engine syncs once a second in the
// background) and LMDB runs with MDB_NOSYNC: both measure the locking and
// the page work, not the disk's sync time.
// Then the system calls of one process making deferred and durable commits
// (every thread, the background sync included), counted under ptrace, with
// their breakdown by call, and the ratios of the engine's time per operation
// to LMDB's (below 1: the engine is faster), each marked fair (no cold
// readers) or not; and how many times the total reads of 2, 4 and 8 warm
// readers are those of 1 (each engine's growth), with LMDB's growth over
// the engine's (below 1: the engine's total grows more).
// Arguments: [keys] [seconds per run] [paced|warm|threads], the last to run
// only the paced rows, only the warm process rows beside the unpaced writer
// or only the reader-thread rows (after the load; for profiling the readers,
// which take their engine's name, "deziro-reader", as their window starts).
#include <signal.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "database.hpp"
#include "scratch.hpp"
#include "txn/read_txn.hpp"
#include "txn/write_txn.hpp"

#ifdef DEZIRO_BENCH_HAVE_LMDB
#include <lmdb.h>
#endif

using namespace deziro;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kValueLen = 100;
constexpr int kGetsPerSnapshot = 64;
constexpr int kPutsPerCommit = 10;
const std::string kTree = "kv";
// The paced writer's commits a second.
constexpr int kPacedCommits = 500;

std::string key_of(std::uint64_t i) {
  std::string k(8, '\0');
  for (int b = 0; b < 8; ++b) k[b] = char(i >> (56 - 8 * b));
  return k;
}

std::string value_of(std::uint64_t i, std::uint64_t round) {
  std::string v = std::to_string(i) + ":" + std::to_string(round) + ":";
  v.resize(kValueLen, 'v');
  return v;
}

bool value_matches(std::uint64_t i, ByteView v) {
  std::string prefix = std::to_string(i) + ":";
  return v.size() == kValueLen && std::memcmp(v.data(), prefix.data(), prefix.size()) == 0;
}

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "bench_concurrency: %s\n", what.c_str());
  std::exit(1);
}

// The round in which each key was last written: key i holds value_of(i,
// model[i]).
using Model = std::vector<std::uint64_t>;

// When a paced writer's commits start: one a period from the window's start;
// a writer late by a whole period or more drops the ticks it missed rather
// than commit in a burst. A zero period does not pace.
struct Pace {
  Clock::duration period{};
  Clock::time_point next{};

  void wait() {
    if (period == Clock::duration{}) return;
    const auto now = Clock::now();
    if (now - next >= period) next = now;
    std::this_thread::sleep_until(next);
    next += period;
  }
};

// What one engine has to offer the harness.
struct Engine {
  const char* name;
  std::function<void(std::uint64_t keys)> load;
  // In a fresh process: opens, reads every key once when `warm`, calls
  // `ready`, which returns when to stop, then gets until then on `threads`
  // threads sharing what it opened, each from its own seed (`seed` + its
  // index); returns the gets done.
  std::function<std::uint64_t(std::uint64_t keys, bool warm, int threads,
                              const std::function<Clock::time_point()>& ready, std::uint64_t seed)>
      read_until;
  // In the parent: commits until `end`, noting in `model` the round of each
  // key it wrote; returns the commits done. Each commit starts at its tick
  // of `pace` (none: at once).
  std::function<std::uint64_t(std::uint64_t keys, Clock::time_point end, std::uint64_t round,
                              Model& model, const Pace& pace)>
      write_until;
  // In the parent, untimed: whether every key holds what `model` says.
  std::function<bool(const Model& model)> matches;
};

// Runs `gets(seed + i)` on `threads` threads (the first on the calling
// one) and returns the sum of what they return.
std::uint64_t on_threads(int threads, std::uint64_t seed,
                         const std::function<std::uint64_t(std::uint64_t seed)>& gets) {
  std::vector<std::uint64_t> done(std::size_t(threads), 0);
  std::vector<std::thread> others;
  for (int t = 1; t < threads; ++t)
    others.emplace_back([&, t] { done[std::size_t(t)] = gets(seed + std::uint64_t(t)); });
  done[0] = gets(seed);
  for (std::thread& t : others) t.join();
  std::uint64_t sum = 0;
  for (std::uint64_t n : done) sum += n;
  return sum;
}

// Figures kept for the ratios printed at the end: workload → engine → rate.
std::map<std::string, std::map<std::string, double>> g_rates;

void print(const char* engine, const std::string& workload, int readers, std::uint64_t ops,
           double seconds, const char* rate_name, double per_reader,
           const std::string& extra = "") {
  double ns = ops ? seconds * 1e9 / double(ops) : 0;
  std::printf(
      "{\"bench\":\"concurrency\",\"workload\":\"%s\",\"engine\":\"%s\",\"readers\":%d,"
      "\"ops\":%llu,\"ns_per_op\":%.1f,\"%s\":%.0f",
      workload.c_str(), engine, readers, (unsigned long long)ops, ns, rate_name,
      double(ops) / seconds);
  if (per_reader >= 0) std::printf(",\"reads_per_sec_per_reader\":%.0f", per_reader);
  std::printf("%s}\n", extra.c_str());
  std::fflush(stdout);
  g_rates[workload][engine] = per_reader >= 0 ? per_reader : double(ops) / seconds;
}

void write_all(int fd, const void* data, std::size_t size) {
  if (::write(fd, data, size) != ssize_t(size)) die("pipe write");
}

void read_all(int fd, void* data, std::size_t size) {
  if (::read(fd, data, size) != ssize_t(size)) die("a reader failed");
}

// What a process asked of the kernel so far: its read system calls and
// its minor page faults (LMDB's readers read through their map and make no
// read call; the engine's copy from theirs).
struct KernelCounts {
  std::uint64_t reads = 0;
  std::uint64_t faults = 0;
};

KernelCounts kernel_counts() {
  KernelCounts counts;
  if (FILE* io = std::fopen("/proc/self/io", "r")) {
    char name[32];
    unsigned long long value = 0;
    while (std::fscanf(io, "%31[^:]: %llu\n", name, &value) == 2)
      if (std::strcmp(name, "syscr") == 0) counts.reads = value;
    std::fclose(io);
  }
  rusage usage{};
  if (::getrusage(RUSAGE_SELF, &usage) == 0) counts.faults = std::uint64_t(usage.ru_minflt);
  return counts;
}

// How a window's readers run: each a forked process, or all threads of one
// forked process that share one open file (and so the engine's cache).
enum class Readers { processes, threads };

// One window: `readers` readers and the writer run for `seconds` together.
// Each reader process reports when it is ready (warm) and is told when to
// stop, so that warming up takes nothing from the window.
void run_window(const Engine& e, std::uint64_t keys, double seconds, int readers, bool warm,
                std::uint64_t round, Model& model, bool paced = false,
                Readers as = Readers::processes) {
  const int processes = as == Readers::threads && readers > 0 ? 1 : readers;
  const int threads_each = as == Readers::threads ? readers : 1;
  struct Child {
    pid_t pid;
    int to_child;
    int from_child;
  };
  std::vector<Child> children;
  for (int r = 0; r < processes; ++r) {
    int down[2], up[2];
    if (::pipe(down) != 0 || ::pipe(up) != 0) die("pipe");
    pid_t pid = ::fork();
    if (pid == 0) {
      ::close(down[1]);
      ::close(up[0]);
      KernelCounts at_start;
      auto ready = [&] {
        char c = 1;
        write_all(up[1], &c, 1);
        Clock::rep end = 0;
        read_all(down[0], &end, sizeof end);
        auto stop = Clock::time_point(Clock::duration(end));
        std::this_thread::sleep_until(stop - std::chrono::duration_cast<Clock::duration>(
                                                 std::chrono::duration<double>(seconds)));
        at_start = kernel_counts();
        // Named for profiles of the window alone, warming left out.
        ::prctl(PR_SET_NAME, (std::string(e.name) + "-reader").c_str());
        return stop;
      };
      std::uint64_t n = e.read_until(keys, warm, threads_each, ready, 7919 * (r + 1));
      const KernelCounts at_end = kernel_counts();
      const std::uint64_t report[3] = {n, at_end.reads - at_start.reads,
                                       at_end.faults - at_start.faults};
      write_all(up[1], report, sizeof report);
      ::_exit(0);
    }
    ::close(down[0]);
    ::close(up[1]);
    children.push_back(Child{pid, down[1], up[0]});
  }
  for (const Child& c : children) {
    char ready = 0;
    read_all(c.from_child, &ready, 1);
  }
  auto start = Clock::now() + std::chrono::milliseconds(50);
  auto end =
      start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  Clock::rep end_rep = end.time_since_epoch().count();
  for (const Child& c : children) write_all(c.to_child, &end_rep, sizeof end_rep);
  std::this_thread::sleep_until(start);
  Pace pace;
  if (paced) {
    pace.period =
        std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(1)) / kPacedCommits;
    pace.next = start;
  }
  std::uint64_t commits = e.write_until(keys, end, round, model, pace);
  std::uint64_t reads = 0;
  std::uint64_t read_calls = 0;
  std::uint64_t faults = 0;
  for (const Child& c : children) {
    std::uint64_t report[3] = {};
    read_all(c.from_child, report, sizeof report);
    const std::uint64_t n = report[0];
    read_calls += report[1];
    faults += report[2];
    ::close(c.from_child);
    ::close(c.to_child);
    int status = 0;
    ::waitpid(c.pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) die("a reader failed");
    reads += n;
  }
  if (!e.matches(model)) die(std::string(e.name) + ": the writer's commits do not read back");
  const std::string kind = std::string(warm ? "warm_" : "") + (paced ? "paced_" : "") +
                           (as == Readers::threads ? "reader_threads" : "readers");
  print(e.name, "writer_commits_beside_" + std::to_string(readers) + "_" + kind, readers, commits,
        seconds, "commits_per_sec", -1);
  if (readers > 0) {
    // What the readers asked of the kernel per get, from their windows.
    char kernel[96];
    std::snprintf(kernel, sizeof kernel,
                  ",\"read_calls_per_get\":%.4f,\"page_faults_per_get\":%.4f",
                  reads ? double(read_calls) / double(reads) : 0.0,
                  reads ? double(faults) / double(reads) : 0.0);
    print(e.name, "random_reads_" + std::to_string(readers) + "_" + kind, readers, reads, seconds,
          "reads_per_sec", double(reads) / seconds / readers, kernel);
  }
}

// Which windows a run makes.
enum class Rows { all, paced, warm, threads };

void run(const Engine& e, std::uint64_t keys, double seconds, Rows rows) {
  e.load(keys);
  Model model(keys, 0);
  if (!e.matches(model)) die(std::string(e.name) + ": the loaded data does not read back");
  std::uint64_t round = 1;
  if (rows == Rows::all)
    for (int readers : {0, 1, 2, 4, 8})
      run_window(e, keys, seconds, readers, false, round++, model);
  if (rows == Rows::all || rows == Rows::warm)
    for (int readers : {1, 2, 4, 8}) run_window(e, keys, seconds, readers, true, round++, model);
  if (rows == Rows::all || rows == Rows::paced)
    for (int readers : {1, 8}) run_window(e, keys, seconds, readers, true, round++, model, true);
  if (rows == Rows::all || rows == Rows::threads)
    for (int readers : {1, 2, 4, 8})
      run_window(e, keys, seconds, readers, true, round++, model, false, Readers::threads);
}

// ---------------------------------------------------------------- system calls

struct SyscallCount {
  std::uint64_t calls = 0;
  std::uint64_t syncs = 0;
  // The calls by system call number.
  std::map<long, std::uint64_t> by_number;
};

// The name of the system calls a commit makes, for the breakdown.
const char* syscall_name(long nr) {
  switch (nr) {
    case SYS_pread64:
      return "pread64";
    case SYS_pwrite64:
      return "pwrite64";
    case SYS_preadv:
      return "preadv";
    case SYS_pwritev:
      return "pwritev";
    case SYS_fsync:
      return "fsync";
    case SYS_fdatasync:
      return "fdatasync";
    case SYS_fcntl:
      return "fcntl";
    case SYS_futex:
      return "futex";
    case SYS_statx:
      return "statx";
    case SYS_fstat:
      return "fstat";
    case SYS_newfstatat:
      return "newfstatat";
    case SYS_ftruncate:
      return "ftruncate";
    case SYS_fallocate:
      return "fallocate";
    case SYS_mmap:
      return "mmap";
    case SYS_munmap:
      return "munmap";
    case SYS_madvise:
      return "madvise";
    case SYS_brk:
      return "brk";
    default:
      return nullptr;
  }
}

// Marks the counted stretch in a traced child: the tracer counts the system
// calls of every thread between the first and the second of these.
void mark() { (void)::syscall(SYS_getppid); }

// Runs `body` in a child traced with ptrace and counts the system calls it
// makes between its two marks; nothing when the system refuses to trace.
std::optional<SyscallCount> count_syscalls(const std::function<void()>& body) {
  pid_t child = ::fork();
  if (child == 0) {
    if (::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) ::_exit(4);
    ::raise(SIGSTOP);
    body();
    ::_exit(0);
  }
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFSTOPPED(status)) {
    ::waitpid(child, &status, 0);
    return std::nullopt;
  }
  long options = PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACECLONE | PTRACE_O_EXITKILL;
  if (::ptrace(PTRACE_SETOPTIONS, child, nullptr, options) != 0) {
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
    return std::nullopt;
  }
  ::ptrace(PTRACE_SYSCALL, child, nullptr, nullptr);
  SyscallCount count;
  int marks = 0;
  while (true) {
    pid_t tid = ::waitpid(-1, &status, __WALL);
    if (tid < 0) break;
    if (WIFEXITED(status) || WIFSIGNALED(status)) {
      if (tid == child) break;
      continue;
    }
    if (!WIFSTOPPED(status)) continue;
    int signal = WSTOPSIG(status);
    int deliver = 0;
    if (signal == (SIGTRAP | 0x80)) {
      __ptrace_syscall_info info{};
      if (::ptrace(PTRACE_GET_SYSCALL_INFO, tid, sizeof info, &info) > 0 &&
          info.op == PTRACE_SYSCALL_INFO_ENTRY) {
        if (info.entry.nr == SYS_getppid) {
          ++marks;
        } else if (marks == 1) {
          ++count.calls;
          ++count.by_number[static_cast<long>(info.entry.nr)];
          if (info.entry.nr == SYS_fsync || info.entry.nr == SYS_fdatasync) ++count.syncs;
        }
      }
    } else if (signal != SIGTRAP && signal != SIGSTOP) {
      deliver = signal;
    }
    ::ptrace(PTRACE_SYSCALL, tid, nullptr, deliver);
  }
  if (marks < 2) return std::nullopt;
  return count;
}

// ---------------------------------------------------------------- deziro

std::string g_path;

std::shared_ptr<Instance> open_deziro() {
  auto opened = Database::open(g_path, OpenOptions{});
  if (!opened) die(opened.error().to_string());
  return opened->instance;
}

// One writer's transaction: kPutsPerCommit random puts, then a commit; the
// keys written go into `model` once committed.
void commit_random_puts(const std::shared_ptr<Instance>& instance, std::mt19937_64& rng,
                        std::uint64_t keys, std::uint64_t round, bool deferred,
                        Model* model = nullptr) {
  auto w = WriteTxn::begin(instance);
  if (!w) die(w.error().to_string());
  std::uint64_t written[kPutsPerCommit];
  for (std::uint64_t& k : written) {
    k = rng() % keys;
    if (!(*w)->put(bytes_of(kTree), bytes_of(key_of(k)), bytes_of(value_of(k, round)))) die("put");
  }
  if (!(deferred ? (*w)->commit_deferred() : (*w)->commit())) die("commit");
  if (model)
    for (std::uint64_t k : written) (*model)[k] = round;
}

Engine deziro_engine() {
  Engine e;
  e.name = "deziro";
  e.load = [](std::uint64_t keys) {
    auto instance = open_deziro();
    auto w = WriteTxn::begin(instance);
    if (!w) die(w.error().to_string());
    for (std::uint64_t i = 0; i < keys; ++i)
      if (!(*w)->put(bytes_of(kTree), bytes_of(key_of(i)), bytes_of(value_of(i, 0)))) die("load");
    if (!(*w)->commit()) die("load commit");
  };
  e.read_until = [](std::uint64_t keys, bool warm, int threads,
                    const std::function<Clock::time_point()>& ready, std::uint64_t seed) {
    OpenOptions options;
    // Room for the whole file, with what a parsed node adds to its page.
    if (warm) options.cache_size = 2 * std::filesystem::file_size(g_path);
    auto opened = Database::open(g_path, options);
    if (!opened) die(opened.error().to_string());
    auto instance = opened->instance;
    if (warm) {
      auto r = ReadTxn::begin(instance);
      if (!r) die(r.error().to_string());
      auto reader = r->tree_reader(bytes_of(kTree));
      if (!reader || !*reader) die("no tree");
      for (std::uint64_t k = 0; k < keys; ++k)
        if (!(*reader)->get(bytes_of(key_of(k)), [](ByteView) -> Status { return ok(); }))
          die("a warming read failed");
    }
    const Clock::time_point end = ready();
    return on_threads(threads, seed, [&](std::uint64_t own_seed) {
      std::mt19937_64 rng(own_seed);
      std::uint64_t done = 0;
      while (Clock::now() < end) {
        auto r = ReadTxn::begin(instance);
        if (!r) die(r.error().to_string());
        auto reader = r->tree_reader(bytes_of(kTree));
        if (!reader || !*reader) die("no tree");
        for (int i = 0; i < kGetsPerSnapshot; ++i) {
          std::uint64_t k = rng() % keys;
          bool good = false;
          auto found = (*reader)->get(bytes_of(key_of(k)), [&](ByteView v) -> Status {
            good = value_matches(k, v);
            return ok();
          });
          if (!found || !*found || !good) die("a read came back wrong");
        }
        done += kGetsPerSnapshot;
      }
      return done;
    });
  };
  e.write_until = [](std::uint64_t keys, Clock::time_point end, std::uint64_t round, Model& model,
                     Pace pace) {
    auto instance = open_deziro();
    std::mt19937_64 rng(round);
    std::uint64_t commits = 0;
    while (pace.wait(), Clock::now() < end) {
      commit_random_puts(instance, rng, keys, round, true, &model);
      ++commits;
    }
    return commits;
  };
  e.matches = [](const Model& model) {
    auto instance = open_deziro();
    auto r = ReadTxn::begin(instance);
    if (!r) die(r.error().to_string());
    auto reader = r->tree_reader(bytes_of(kTree));
    if (!reader || !*reader) die("no tree");
    for (std::uint64_t k = 0; k < model.size(); ++k) {
      const std::string wanted = value_of(k, model[k]);
      bool good = false;
      auto found = (*reader)->get(bytes_of(key_of(k)), [&](ByteView v) -> Status {
        good = v.size() == wanted.size() && std::memcmp(v.data(), wanted.data(), v.size()) == 0;
        return ok();
      });
      if (!found || !*found || !good) return false;
    }
    return true;
  };
  return e;
}

// ---------------------------------------------------------------- LMDB

#ifdef DEZIRO_BENCH_HAVE_LMDB
std::string g_lmdb_path;

void check(int rc, const char* what) {
  if (rc != 0) die(std::string(what) + ": " + mdb_strerror(rc));
}

MDB_env* open_lmdb() {
  MDB_env* env = nullptr;
  check(mdb_env_create(&env), "env");
  check(mdb_env_set_mapsize(env, std::size_t(4) << 30), "mapsize");
  check(mdb_env_set_maxreaders(env, 64), "maxreaders");
  check(mdb_env_open(env, g_lmdb_path.c_str(), MDB_NOSUBDIR | MDB_NOSYNC, 0644), "open");
  return env;
}

Engine lmdb_engine() {
  Engine e;
  e.name = "lmdb";
  e.load = [](std::uint64_t keys) {
    MDB_env* env = open_lmdb();
    MDB_txn* txn;
    MDB_dbi dbi;
    check(mdb_txn_begin(env, nullptr, 0, &txn), "begin");
    check(mdb_dbi_open(txn, nullptr, 0, &dbi), "dbi");
    for (std::uint64_t i = 0; i < keys; ++i) {
      std::string k = key_of(i), v = value_of(i, 0);
      MDB_val mk{k.size(), k.data()}, mv{v.size(), v.data()};
      check(mdb_put(txn, dbi, &mk, &mv, 0), "put");
    }
    check(mdb_txn_commit(txn), "commit");
    mdb_env_sync(env, 1);
    mdb_env_close(env);
  };
  e.read_until = [](std::uint64_t keys, bool warm, int threads,
                    const std::function<Clock::time_point()>& ready, std::uint64_t seed) {
    MDB_env* env = open_lmdb();
    MDB_txn* txn;
    MDB_dbi dbi;
    check(mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn), "begin");
    check(mdb_dbi_open(txn, nullptr, 0, &dbi), "dbi");
    if (warm) {
      for (std::uint64_t k = 0; k < keys; ++k) {
        std::string key = key_of(k);
        MDB_val mk{key.size(), key.data()}, mv;
        check(mdb_get(txn, dbi, &mk, &mv), "get");
      }
    }
    mdb_txn_abort(txn);
    const Clock::time_point end = ready();
    // Each thread has a read transaction of its own, reset and renewed.
    const std::uint64_t done = on_threads(threads, seed, [&](std::uint64_t own_seed) {
      MDB_txn* own;
      check(mdb_txn_begin(env, nullptr, MDB_RDONLY, &own), "begin");
      mdb_txn_reset(own);
      std::mt19937_64 rng(own_seed);
      std::uint64_t gets = 0;
      while (Clock::now() < end) {
        check(mdb_txn_renew(own), "renew");
        for (int i = 0; i < kGetsPerSnapshot; ++i) {
          std::uint64_t k = rng() % keys;
          std::string key = key_of(k);
          MDB_val mk{key.size(), key.data()}, mv;
          check(mdb_get(own, dbi, &mk, &mv), "get");
          if (!value_matches(k, ByteView(static_cast<const std::uint8_t*>(mv.mv_data), mv.mv_size)))
            die("an LMDB read came back wrong");
        }
        mdb_txn_reset(own);
        gets += kGetsPerSnapshot;
      }
      mdb_txn_abort(own);
      return gets;
    });
    mdb_env_close(env);
    return done;
  };
  e.write_until = [](std::uint64_t keys, Clock::time_point end, std::uint64_t round, Model& model,
                     Pace pace) {
    MDB_env* env = open_lmdb();
    MDB_dbi dbi;
    {
      MDB_txn* txn;
      check(mdb_txn_begin(env, nullptr, 0, &txn), "begin");
      check(mdb_dbi_open(txn, nullptr, 0, &dbi), "dbi");
      check(mdb_txn_commit(txn), "commit");
    }
    std::mt19937_64 rng(round);
    std::uint64_t commits = 0;
    while (pace.wait(), Clock::now() < end) {
      MDB_txn* txn;
      check(mdb_txn_begin(env, nullptr, 0, &txn), "begin");
      std::uint64_t written[kPutsPerCommit];
      for (std::uint64_t& k : written) {
        k = rng() % keys;
        std::string key = key_of(k), v = value_of(k, round);
        MDB_val mk{key.size(), key.data()}, mv{v.size(), v.data()};
        check(mdb_put(txn, dbi, &mk, &mv, 0), "put");
      }
      check(mdb_txn_commit(txn), "commit");
      for (std::uint64_t k : written) model[k] = round;
      ++commits;
    }
    mdb_env_close(env);
    return commits;
  };
  e.matches = [](const Model& model) {
    MDB_env* env = open_lmdb();
    MDB_txn* txn;
    MDB_dbi dbi;
    check(mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn), "begin");
    check(mdb_dbi_open(txn, nullptr, 0, &dbi), "dbi");
    bool good = true;
    for (std::uint64_t k = 0; k < model.size() && good; ++k) {
      std::string key = key_of(k), wanted = value_of(k, model[k]);
      MDB_val mk{key.size(), key.data()}, mv;
      good = mdb_get(txn, dbi, &mk, &mv) == 0 && mv.mv_size == wanted.size() &&
             std::memcmp(mv.mv_data, wanted.data(), wanted.size()) == 0;
    }
    mdb_txn_abort(txn);
    mdb_env_close(env);
    return good;
  };
  return e;
}
#endif

}  // namespace

// The system calls of deferred and of durable commits like the writer's,
// in a process of their own that has the file open already.
void count_commit_syscalls(std::uint64_t keys) {
  for (bool deferred : {true, false}) {
    const std::uint64_t commits = deferred ? 400 : 40;
    auto counted = count_syscalls([&] {
      auto instance = open_deziro();
      std::mt19937_64 rng(deferred ? 11 : 13);
      auto commit_one = [&](std::uint64_t round) {
        commit_random_puts(instance, rng, keys, round, deferred);
      };
      // The first commit reads the free tree; the ones counted are steady.
      commit_one(1000);
      mark();
      for (std::uint64_t i = 0; i < commits; ++i) commit_one(1001 + i);
      mark();
    });
    const char* workload =
        deferred ? "syscalls_per_deferred_commit" : "syscalls_per_durable_commit";
    if (!counted) {
      std::printf(
          "{\"bench\":\"concurrency\",\"workload\":\"%s\",\"engine\":\"deziro\","
          "\"ops\":0,\"ns_per_op\":0,\"skipped\":\"ptrace is not allowed here\"}\n",
          workload);
      continue;
    }
    std::string by_call;
    for (const auto& [nr, calls] : counted->by_number) {
      const char* name = syscall_name(nr);
      by_call += std::string(by_call.empty() ? "" : ",") + "\"" +
                 (name ? name : "nr" + std::to_string(nr)) +
                 "\":" + std::to_string(double(calls) / double(commits)).substr(0, 5);
    }
    std::printf(
        "{\"bench\":\"concurrency\",\"workload\":\"%s\",\"engine\":\"deziro\",\"ops\":%llu,"
        "\"ns_per_op\":0,\"syscalls_per_commit\":%.1f,\"syncs_per_commit\":%.3f,"
        "\"per_commit_by_call\":{%s}}\n",
        workload, (unsigned long long)commits, double(counted->calls) / double(commits),
        double(counted->syncs) / double(commits), by_call.c_str());
    std::fflush(stdout);
  }
}

// The engine's time per operation over LMDB's: below 1 the engine is
// faster (printed, never judged here). Only windows without cold readers are
// fair: cold readers of the engine start with its default cache while
// LMDB's read through the operating system's page cache, which holds the
// whole file; warm readers of both hold the whole file.
void print_ratios() {
  for (const auto& [workload, engines] : g_rates) {
    auto ours = engines.find("deziro"), theirs = engines.find("lmdb");
    if (ours == engines.end() || theirs == engines.end() || ours->second <= 0) continue;
    bool cold =
        workload.find("warm") == std::string::npos && workload.find("_0_") == std::string::npos;
    std::printf(
        "{\"bench\":\"concurrency\",\"workload\":\"ratio_%s\",\"engine\":\"deziro/lmdb\","
        "\"ops\":0,\"ns_per_op\":0,\"ratio\":%.3f,\"fair\":%s}\n",
        workload.c_str(), theirs->second / ours->second, cold ? "false" : "true");
  }
  // How the total reads grow from 1 to 2, 4 and 8 readers, per engine, and
  // LMDB's growth over the engine's (below 1: the engine's grows more). A
  // reader's rate beside others also moves with what the machine shares
  // between them: LMDB's readers share one copy of the file in the
  // processor's caches, the engine's each check and cache their own, and 8
  // reader processes beside the writer are more than a machine of 8 cores or
  // fewer runs at once; the paced rows (a writer too slow to matter) show
  // the first part alone.
  for (const char* kind : {"warm_readers", "warm_paced_readers", "warm_reader_threads"}) {
    const std::string suffix = std::string("_") + kind;
    auto one = g_rates.find("random_reads_1" + suffix);
    if (one == g_rates.end()) continue;
    for (int readers : {2, 4, 8}) {
      const std::string to = "_1_to_" + std::to_string(readers) + suffix;
      auto many = g_rates.find("random_reads_" + std::to_string(readers) + suffix);
      if (many == g_rates.end()) continue;
      std::map<std::string, double> growth;
      for (const auto& [engine, rate] : one->second)
        if (rate > 0 && many->second.contains(engine))
          growth[engine] = readers * many->second.at(engine) / rate;
      for (const auto& [engine, times] : growth)
        std::printf(
            "{\"bench\":\"concurrency\",\"workload\":\"total_reads%s\",\"engine\":\"%s\","
            "\"ops\":0,\"ns_per_op\":0,\"growth\":%.2f}\n",
            to.c_str(), engine.c_str(), times);
      if (growth.contains("deziro") && growth.contains("lmdb"))
        std::printf(
            "{\"bench\":\"concurrency\",\"workload\":\"scaling_total_reads%s\","
            "\"engine\":\"deziro/lmdb\",\"ops\":0,\"ns_per_op\":0,\"ratio\":%.3f}\n",
            to.c_str(), growth.at("lmdb") / growth.at("deziro"));
    }
  }
  auto base = g_rates.find("writer_commits_beside_0_readers");
  auto eight = g_rates.find("writer_commits_beside_8_readers");
  if (base != g_rates.end() && eight != g_rates.end() && eight->second.contains("deziro") &&
      eight->second.at("deziro") > 0)
    std::printf(
        "{\"bench\":\"concurrency\",\"workload\":\"commit_drop_0_to_8_readers\","
        "\"engine\":\"deziro\",\"ops\":0,\"ns_per_op\":0,\"ratio\":%.3f}\n",
        base->second.at("deziro") / eight->second.at("deziro"));
}

int main(int argc, char** argv) {
  std::uint64_t keys = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  double seconds = argc > 2 ? std::strtod(argv[2], nullptr) : 1.5;
  Rows rows = Rows::all;
  if (argc > 3 && std::strcmp(argv[3], "paced") == 0) rows = Rows::paced;
  if (argc > 3 && std::strcmp(argv[3], "warm") == 0) rows = Rows::warm;
  if (argc > 3 && std::strcmp(argv[3], "threads") == 0) rows = Rows::threads;
  const std::filesystem::path dir = bench::scratch_folder("concurrency");
  g_path = (dir / "deziro.db").string();
  run(deziro_engine(), keys, seconds, rows);
  if (rows == Rows::all) count_commit_syscalls(keys);
#ifdef DEZIRO_BENCH_HAVE_LMDB
  g_lmdb_path = (dir / "lmdb.mdb").string();
  run(lmdb_engine(), keys, seconds, rows);
#endif
  print_ratios();
  return 0;
}
