// mp4index watch followed as a user meets it: a tree changed step by step,
// writers at once, a kill in the middle of a burst, the kernel's queue
// overflowing and the watch limit reached. After each step the watched
// index must show what one update into a new index shows.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

#include "test_files.h"

namespace {

using Clock = std::chrono::steady_clock;

hosttest::RunResult mp4index(const std::vector<std::string>& args) {
  return hosttest::runTool(MP4INDEX_PATH, args);
}

// Waits for done(), for a minute at most (a loaded machine is slow, never
// that slow).
bool waitFor(const std::function<bool()>& done) {
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  while (!done()) {
    if (Clock::now() > deadline) return false;
    usleep(20000);
  }
  return true;
}

std::string sql(const std::string& db, const std::string& query) {
  sqlite3* handle = nullptr;
  sqlite3_open(db.c_str(), &handle);
  std::string result;
  sqlite3_exec(
      handle, query.c_str(),
      [](void* out, int, char** row, char**) {
        *static_cast<std::string*>(out) = row[0] ? row[0] : "NULL";
        return 0;
      },
      &result, nullptr);
  sqlite3_close(handle);
  return result;
}

// A running mp4index watch, its output in files; watchLimit: run in a user
// namespace of its own with that limit of inotify watches.
class Watcher {
 public:
  Watcher(const std::string& dir, std::vector<std::string> args, int watchLimit = 0)
      : m_out(dir + "/watch" + std::to_string(++s_started) + ".out"), m_err(m_out + ".err") {
    args.insert(args.begin(), {MP4INDEX_PATH, "watch"});
    if (watchLimit > 0) {
      args.insert(args.begin(),
                  {"unshare", "--user", "--map-root-user", "sh", "-c",
                   "echo " + std::to_string(watchLimit) +
                       " > /proc/sys/user/max_inotify_watches && exec \"$0\" \"$@\""});
    }
    m_pid = fork();
    if (m_pid != 0) return;
    if (!freopen(m_out.c_str(), "w", stdout) || !freopen(m_err.c_str(), "w", stderr)) _exit(126);
    setenv("STRIGI_PLUGIN_PATH", MP4_MODULE_DIR, 1);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  ~Watcher() {
    if (m_pid > 0) stop(SIGKILL);
  }
  pid_t pid() const { return m_pid; }
  std::string out() const { return mp4test::readFile(m_out); }
  std::string err() const { return mp4test::readFile(m_err); }
  // The first line comes when the first pass is done and every change is followed.
  bool ready() const {
    return waitFor([&] { return out().find('\n') != std::string::npos; });
  }
  // The exit status after sig (0: once it ends by itself).
  int stop(int sig = SIGTERM) {
    if (sig != 0) kill(m_pid, sig);
    int status = 0;
    waitpid(m_pid, &status, 0);
    m_pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  static inline int s_started = 0;
  std::string m_out, m_err;
  pid_t m_pid = -1;
};

struct Tree {
  hosttest::TempDir dir;
  std::string db = dir.path() + "/index.db";
  std::string operator[](const std::string& name) const { return dir.path() + "/" + name; }

  // What the index shows of the roots: every file whole, and the list a
  // search gives.
  static std::string shown(const std::string& db, const std::vector<std::string>& roots) {
    std::vector<std::string> show{"show", "--json", db};
    show.insert(show.end(), roots.begin(), roots.end());
    return mp4index(show).out + mp4index({"search", db, "missing:no.such.key"}).out;
  }
  // Waits until the watched index shows what an update of the roots that
  // exist into a new index shows.
  void expectConverges(const std::vector<std::string>& roots, const std::string& step) const {
    const std::string fresh = (*this)["fresh.db"];
    for (const char* suffix : {"", "-wal", "-shm"}) unlink((fresh + suffix).c_str());
    std::vector<std::string> update{"update", fresh};
    struct stat st;
    for (const std::string& root : roots) {
      if (stat(root.c_str(), &st) == 0) update.push_back(root);
    }
    ASSERT_EQ(mp4index(update).status, 0) << step;
    const std::string want = shown(fresh, roots);
    std::string got;
    waitFor([&] { return (got = shown(db, roots)) == want; });
    EXPECT_EQ(got, want) << step;
  }
  void run(const std::string& command) const {
    ASSERT_EQ(std::system(("cd '" + dir.path() + "' && " + command).c_str()), 0) << command;
  }
};

std::string song(int n) { return hosttest::taggedSong("Song " + std::to_string(n), 1 + n % 9); }

TEST(Mp4indexWatch, FollowsEveryKindOfChangeAsAFreshUpdateSeesIt) {
  Tree t;
  t.dir.write("music/album/a.m4a", song(1));
  t.dir.write("music/album/b.m4a", song(2));
  t.dir.write("music/video/wide.mp4", hosttest::videoFile(1920, 1080));
  t.dir.write("films/small.mp4", hosttest::videoFile(320, 240));
  t.dir.write("outside/ep/x.m4a", song(3));
  t.dir.write("outside/ep/deep/y.m4a", song(4));
  const std::vector<std::string> roots{t["music"], t["films"]};
  Watcher w(t.dir.path(), {t.db, t["music"], t["films"], "--jobs", "2"});
  ASSERT_TRUE(w.ready()) << w.err();
  t.expectConverges(roots, "first pass");

  const std::string ids = "SELECT group_concat(id) FROM (SELECT id FROM files ORDER BY id)";
  const std::pair<std::string, bool> steps[] = {
      // (command, whether every stored file keeps its row: renames)
      {"printf x > music/notes.txt && cp outside/ep/x.m4a music/new.m4a", false},
      {"mv music/new.m4a music/album/renamed.m4a", true},
      {"mv outside/ep music/ep", false},
      {"mv music/ep music/album/ep2 && mv music/album/b.m4a music/b.m4a", true},
      {"printf y > music/album/ep2/new.txt && printf z > music/album/ep2/deep/new.txt", false},
      {"mv music/video outside/video", false},
      {"rm music/album/a.m4a && rm -r music/album/ep2", false},
      {"cp -r outside/video music/video2 && ln -s ../outside music/link", false},
      {"ln -s album/renamed.m4a music/alias.m4a && ln music/b.m4a music/hard.m4a", false},
      {"mkdir music/video2/sub && mv music/b.m4a music/video2/sub/ && chmod 0 music/hard.m4a",
       false},
      {"rm -r films", false},
  };
  for (const auto& [command, renames] : steps) {
    const std::string before = sql(t.db, ids);
    t.run(command);
    t.expectConverges(roots, command);
    if (renames) {
      EXPECT_EQ(sql(t.db, ids), before) << command;
    }
  }
  EXPECT_NE(w.err().find(t["films"] + ": the watched folder was removed"), std::string::npos)
      << w.err();

  // A file written through a descriptor that stays open is analysed once
  // quiet; the last version is what stays.
  const int fd = open(t["music/open.m4a"].c_str(), O_WRONLY | O_CREAT, 0644);
  const std::string first = song(5);
  ASSERT_EQ(write(fd, first.data(), first.size() / 2), static_cast<ssize_t>(first.size() / 2));
  ASSERT_EQ(write(fd, first.data() + first.size() / 2, first.size() - first.size() / 2),
            static_cast<ssize_t>(first.size() - first.size() / 2));
  t.expectConverges({t["music"]}, "written, still open");
  const std::string second = song(6);
  ASSERT_EQ(pwrite(fd, second.data(), second.size(), 0), static_cast<ssize_t>(second.size()));
  close(fd);
  t.expectConverges({t["music"]}, "written again, closed");
  // Written again in place with its size and times kept (as some taggers
  // write): analysed again all the same.
  struct stat before;
  ASSERT_EQ(stat(t["music/open.m4a"].c_str(), &before), 0);
  ASSERT_EQ(song(7).size(), static_cast<size_t>(before.st_size));
  t.dir.write("music/open.m4a", song(7));
  const timespec times[] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(utimensat(AT_FDCWD, t["music/open.m4a"].c_str(), times, 0), 0);
  t.expectConverges({t["music"]}, "written again, times kept");
  // Each write that changed something is summed up, as update sums up.
  EXPECT_NE(w.out().find("\n0 added, 1 changed, 0 removed, 0 unchanged, 0 failed\n"),
            std::string::npos)
      << w.out();

  // With its last folder gone, the watcher has nothing to do.
  t.run("rm -r music");
  EXPECT_TRUE(waitFor([&] {
    return w.err().find("no watched folder is left") != std::string::npos;
  })) << w.err();
  EXPECT_EQ(w.stop(0), 1) << w.err();
  EXPECT_EQ(mp4index({"search", t.db, "missing:no.such.key"}).out, "");
}

TEST(Mp4indexWatch, WritersAtOnceAndAKilledWatcherConverge) {
  Tree t;
  for (int i = 0; i < 150; ++i)
    t.dir.write("music/" + std::to_string(i % 5) + "/" + std::to_string(i) + ".m4a", song(i));
  auto watcher = std::make_unique<Watcher>(
      t.dir.path(), std::vector<std::string>{t.db, t["music"], "--quiet-period", "600"});
  ASSERT_TRUE(watcher->ready()) << watcher->err();
  // A file still being written (and renamed meanwhile) waits, while links,
  // a file renamed and a file closed after it are stored at once.
  const int fd = open(t["music/part"].c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_EQ(write(fd, "partial", 7), 7);
  t.run(
      "mv music/part music/part2 && ln music/0/0.m4a music/hard.m4a && ln -s 0/5.m4a "
      "music/sym.m4a && mv music/0/10.m4a music/moved.m4a");
  t.dir.write("music/closed.txt", "closed");
  EXPECT_TRUE(waitFor([&] {
    return mp4index({"show", t.db, t["music/hard.m4a"], t["music/sym.m4a"], t["music/moved.m4a"],
                     t["music/closed.txt"]})
               .status == 0;
  }));
  EXPECT_NE(mp4index({"show", t.db, t["music/part2"]}).err.find("not in the index"),
            std::string::npos);
  close(fd);
  // Two updates beside the watcher, while a burst comes in.
  std::vector<pid_t> updates;
  for (const std::string& root : {t["music"], t["music/2"]}) {
    updates.push_back(fork());
    if (updates.back() == 0) {
      freopen("/dev/null", "w", stdout);
      setenv("STRIGI_PLUGIN_PATH", MP4_MODULE_DIR, 1);
      execl(MP4INDEX_PATH, MP4INDEX_PATH, "update", t.db.c_str(), root.c_str(), nullptr);
      _exit(127);
    }
  }
  for (int i = 0; i < 200; ++i) t.dir.write("music/burst/" + std::to_string(i) + ".m4a", song(i));
  for (pid_t pid : updates) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  t.expectConverges({t["music"]}, "two updates and a watcher");

  // Killed in the middle of a burst, then started again.
  for (int i = 0; i < 300; ++i) {
    if (i == 100) watcher->stop(SIGKILL);
    t.dir.write("music/second/" + std::to_string(i) + ".mp4", hosttest::videoFile(i + 1, 2));
  }
  EXPECT_EQ(sql(t.db, "PRAGMA integrity_check"), "ok");
  watcher = std::make_unique<Watcher>(t.dir.path(), std::vector<std::string>{t.db, t["music"]});
  ASSERT_TRUE(watcher->ready()) << watcher->err();
  t.run("rm -r music/burst");
  t.expectConverges({t["music"]}, "restarted after SIGKILL");
  EXPECT_EQ(watcher->stop(SIGINT), 0) << watcher->err();
}

TEST(Mp4indexWatch, AnOverflowOrTheWatchLimitFallsBackToScans) {
  Tree t;
  t.dir.write("music/first.m4a", song(0));
  {
    Watcher w(t.dir.path(), {t.db, t["music"]});
    ASSERT_TRUE(w.ready()) << w.err();
    // Stopped, it leaves more events than the kernel queues (a file made
    // and written is three).
    std::ifstream limit("/proc/sys/fs/inotify/max_queued_events");
    int queued = 16384;
    limit >> queued;
    kill(w.pid(), SIGSTOP);
    for (int i = 0; i < queued / 3 + 100; ++i) t.dir.write("music/many" + std::to_string(i), "x");
    kill(w.pid(), SIGCONT);
    t.expectConverges({t["music"]}, "after an overflow");
    EXPECT_NE(w.err().find("queue of file events overflowed"), std::string::npos) << w.err();
    // Then idle: asleep in poll once the quiet periods of files whose close
    // the overflow lost have passed. Seconds of the main thread's CPU time
    // are measured until three in a row stay under 50 ms, eight at most.
    const auto cpuNs = [&] {
      std::ifstream in("/proc/" + std::to_string(w.pid()) + "/schedstat");
      long long ns = 0;
      in >> ns;
      return ns;
    };
    int idleSeconds = 0;
    for (int second = 0; second < 8 && idleSeconds < 3; ++second) {
      const long long before = cpuNs();
      sleep(1);
      idleSeconds = cpuNs() - before < 50000000 ? idleSeconds + 1 : 0;
    }
    EXPECT_EQ(idleSeconds, 3);
  }

  if (std::system("unshare --user --map-root-user true") != 0) GTEST_SKIP() << "no user namespaces";
  for (int i = 0; i < 30; ++i) t.dir.write("music/d" + std::to_string(i) + "/a.m4a", song(i));
  Watcher w(t.dir.path(), {t.db, t["music"], "--rescan-interval=1"}, 20);
  ASSERT_TRUE(w.ready()) << w.err();
  EXPECT_NE(
      w.err().find("the limit of inotify watches (user.max_inotify_watches = 20) is "
                   "reached: 11 folders are not watched, and are rescanned every 1 s instead; "
                   "raise the limit to watch them all (sysctl user.max_inotify_watches=N)"),
      std::string::npos)
      << w.err();
  for (int i = 0; i < 30; ++i) t.dir.write("music/d" + std::to_string(i) + "/b.m4a", song(i));
  t.expectConverges({t["music"]}, "folders left unwatched");
  const std::string err = w.err();
  EXPECT_EQ(err.find("the limit of inotify watches"), err.rfind("the limit of inotify watches"))
      << "said once: " << err;
}

// An archive written, replaced, renamed or deleted in a watched folder is
// followed as a file is: its entries come, are replaced, move or go.
TEST(Mp4indexWatch, ArchivesAreFollowedAsFiles) {
  using hosttest::packArchive;
  Tree t;
  t.dir.write("music/a.m4a", song(1));
  t.dir.write("outside/one.zip", packArchive("zip", {{"x.m4a", song(2)}, {"y.m4a", song(3)}}));
  t.dir.write("outside/two.tgz",
              packArchive("tar", {{"y.m4a", song(4)}, {"z.m4a", song(5)}}, "gzip"));
  Watcher w(t.dir.path(), {t.db, t["music"]});
  ASSERT_TRUE(w.ready()) << w.err();
  for (const char* command :
       {"cp outside/one.zip music/", "cp outside/two.tgz music/new && mv music/new music/one.zip",
        "cat outside/one.zip > music/one.zip",
        "mkdir music/sub && mv music/one.zip music/sub/b.zip", "rm music/sub/b.zip"}) {
    t.run(command);
    t.expectConverges({t["music"]}, command);
  }
  EXPECT_EQ(mp4index({"search", t.db, "song"}).out, t["music/a.m4a"] + "\n");
}

TEST(Mp4indexWatch, RefusesWhatItCannotFollow) {
  Tree t;
  const std::string file = t.dir.write("music/a.m4a", song(1));
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{t.db, file}, file + ": not a folder"},
      {{t.db, t["missing"]}, t["missing"] + ": No such file or directory"},
      {{t.db, t["music"], "--rescan-interval", "0"}, "invalid rescan interval '0'"},
      {{t.db, t["music"], "--rescan-interval=5x"}, "invalid rescan interval '5x'"},
      {{t.db, t["music"], "--rescan-interval"}, "option --rescan-interval needs a value"},
      {{t.db, "--files-from", file}, "watch follows folders, not lists"},
  };
  for (const auto& [args, message] : cases) {
    std::vector<std::string> command{"watch"};
    command.insert(command.end(), args.begin(), args.end());
    const hosttest::RunResult r = mp4index(command);
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
  }
  struct stat st;
  EXPECT_NE(stat(t.db.c_str(), &st), 0);  // no index made for a command refused
}

}  // namespace
