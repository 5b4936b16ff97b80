// mp4index watch followed as a user meets it: a tree changed step by step,
// writers at once, a kill in the middle of a burst, the kernel's queue
// overflowing and the watch limit reached. After each step the watched
// index must show what one update into a new index shows.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
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

// A running mp4index watch, its output in files; limit ("NAME VALUE"): run
// in a user namespace of its own whose /proc/sys/user/NAME is VALUE.
class Watcher {
 public:
  Watcher(const std::string& dir, std::vector<std::string> args, const std::string& limit = "")
      : m_out(dir + "/watch" + std::to_string(++s_started) + ".out"), m_err(m_out + ".err") {
    args.insert(args.begin(), {MP4INDEX_PATH, "watch"});
    if (!limit.empty()) {
      const std::string name = limit.substr(0, limit.find(' '));
      args.insert(args.begin(), {"unshare", "--user", "--map-root-user", "sh", "-c",
                                 "echo" + limit.substr(name.size()) + " > /proc/sys/user/" + name +
                                     " && exec \"$0\" \"$@\""});
    }
    m_pid = fork();
    if (m_pid != 0) return;
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives a test that failed hard
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

  // What the index shows of the roots: every file whole, and the lists a
  // search gives (of all files, and of those last changed before 2002).
  static std::string shown(const std::string& db, const std::vector<std::string>& roots) {
    std::vector<std::string> show{"show", "--json", db};
    show.insert(show.end(), roots.begin(), roots.end());
    return mp4index(show).out + mp4index({"search", db, "missing:no.such.key"}).out +
           mp4index({"search", db, "modified<2002"}).out;
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

// The inotify watches pid holds, one a line of its descriptors' fdinfo.
size_t watchesOf(pid_t pid) {
  size_t n = 0;
  const std::string fdinfo = "/proc/" + std::to_string(pid) + "/fdinfo";
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(fdinfo, error)) {
    std::ifstream in(entry.path());
    for (std::string line; std::getline(in, line);) n += line.compare(0, 11, "inotify wd:") == 0;
  }
  return n;
}

// The folders under the roots that exist, the roots with them.
size_t foldersUnder(const std::vector<std::string>& roots) {
  size_t n = 0;
  for (const std::string& root : roots) {
    std::error_code error;
    if (!std::filesystem::is_directory(root, error)) continue;
    ++n;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root, error)) {
      n += entry.is_directory() && !entry.is_symlink();
    }
  }
  return n;
}

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
  // A folder inside another, and one named twice, are followed as part of it.
  Watcher w(t.dir.path(),
            {t.db, t["music"], t["films"], t["music/video"], t["music"] + "/", "--jobs", "2"});
  ASSERT_TRUE(w.ready()) << w.err();
  t.expectConverges(roots, "first pass");

  const std::string ids = "SELECT group_concat(id) FROM (SELECT id FROM files ORDER BY id)";
  const std::tuple<std::string, bool, bool> steps[] = {
      // (command, whether every stored file keeps its row: renames, whether
      // the watcher is stopped meanwhile: its events all read at once after)
      {"printf x > music/notes.txt && cp outside/ep/x.m4a music/new.m4a", false, false},
      {"mv music/new.m4a music/album/renamed.m4a", true, false},
      // Times alone, changed with the file opened or not.
      {"touch -h -d 2001-01-01 music/album/renamed.m4a && touch -d 2001-01-02 music/album/a.m4a",
       false, false},
      {"mv outside/ep music/ep", false, false},
      {"mv music/ep music/album/ep2 && mv music/album/b.m4a music/b.m4a", true, false},
      // Files of the same size (the songs 1, 2 and 3) and time taking the
      // place of others: by a link, by a rename, by a move from outside.
      {"cp music/album/renamed.m4a music/x.m4a && touch -r music/album/a.m4a music/x.m4a", false,
       false},
      {"rm music/x.m4a && ln music/album/a.m4a music/x.m4a && cp music/b.m4a outside/t && touch "
       "-r music/album/renamed.m4a outside/t && mv outside/t music/album/renamed.m4a",
       false, true},
      {"cp music/x.m4a music/t && touch -r music/b.m4a music/t && mv music/t music/b.m4a", false,
       false},
      {"printf y > music/album/ep2/new.txt && printf z > music/album/ep2/deep/new.txt", false,
       false},
      {"mv music/video outside/video", false, false},
      {"rm music/album/a.m4a && rm -r music/album/ep2", false, false},
      {"cp -r outside/video music/video2 && ln -s ../outside music/link", false, false},
      // A folder made in the place of one moved out, which comes back under
      // another name, leaves again and comes back, and goes into a folder
      // made before its watch is.
      {"mv music/video2 outside/v && mkdir music/video2 && mv outside/v music/v", false, true},
      {"mv music/v outside/ && mv outside/v music/ && mkdir music/new && mv music/v music/new/",
       false, true},
      {"ln -s album/renamed.m4a music/alias.m4a && ln music/b.m4a music/hard.m4a", false, false},
      {"mkdir music/video2/sub && mv music/b.m4a music/video2/sub/ && chmod 0 music/hard.m4a",
       false, false},
      {"mkdir music/vid && mv music/video2 music/vid2 && rmdir music/vid", true, false},
      {"printf w > music/vid2/sub/w.txt && printf v > music/new/v/v.txt", false, false},
      {"mv music/vid2 outside/vid2 && mv films outside/films", false, false},
  };
  for (const auto& [command, renames, stopped] : steps) {
    const std::string before = sql(t.db, ids);
    if (stopped) kill(w.pid(), SIGSTOP);
    t.run(command);
    if (stopped) kill(w.pid(), SIGCONT);
    t.expectConverges(roots, command);
    // A watch for every folder, and none for a folder gone or moved out.
    EXPECT_TRUE(waitFor([&] { return watchesOf(w.pid()) == foldersUnder(roots); }))
        << command << ": " << watchesOf(w.pid()) << " watches, " << foldersUnder(roots)
        << " folders";
    if (renames) {
      EXPECT_EQ(sql(t.db, ids), before) << command;
    }
  }
  EXPECT_NE(w.err().find(t["films"] + ": the watched folder was moved away"), std::string::npos)
      << w.err();
  EXPECT_EQ(w.err().find(t["music/video"] + ":"), std::string::npos) << w.err();
  EXPECT_EQ(w.err().find("limit of inotify watches"), std::string::npos) << w.err();
  EXPECT_EQ(w.err().find("overflowed"), std::string::npos) << w.err();
  // Permissions changed alone: the file is looked at, not analysed again.
  const size_t said = w.out().size();
  t.run("chmod 600 music/album/renamed.m4a && printf n > music/new.txt");
  t.expectConverges(roots, "permissions changed");
  EXPECT_EQ(w.out().find(" 1 changed", said), std::string::npos) << w.out().substr(said);

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
  EXPECT_NE(w.err().find(t["music"] + ": the watched folder was removed"), std::string::npos)
      << w.err();
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

// Whether pid has its own handler for sig.
bool catches(pid_t pid, int sig) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, 7, "SigCgt:") == 0)
      return (std::stoull(line.substr(7), nullptr, 16) >> (sig - 1)) & 1;
  }
  return false;
}

TEST(Mp4indexWatch, FilesStillWrittenWaitAndASignalWritesWhatWasGathered) {
  Tree t;
  for (int i = 0; i < 300; ++i) t.dir.write("music/" + std::to_string(i) + ".m4a", song(i));
  // Stopped in its first pass: it ends at once, what it stored whole.
  auto w = std::make_unique<Watcher>(t.dir.path(), std::vector<std::string>{t.db, t["music"]});
  ASSERT_TRUE(waitFor([&] { return catches(w->pid(), SIGTERM); }));
  EXPECT_EQ(w->stop(SIGTERM), 0) << w->err();
  EXPECT_EQ(sql(t.db, "PRAGMA integrity_check"), "ok");
  w = std::make_unique<Watcher>(t.dir.path(), std::vector<std::string>{t.db, t["music"]});
  ASSERT_TRUE(w->ready()) << w->err();
  t.expectConverges({t["music"]}, "the first pass done after a stop");
  EXPECT_EQ(w->stop(SIGINT), 0) << w->err();

  // Started on an index that is up to date, it says so; a file written
  // through a descriptor that stays open is not stored while the writes
  // come closer together than the quiet period (2 s); renamed after, it is
  // stored once quiet, whole, under its new name.
  w = std::make_unique<Watcher>(t.dir.path(), std::vector<std::string>{t.db, t["music"]});
  ASSERT_TRUE(w->ready()) << w->err();
  EXPECT_EQ(w->out(), "0 added, 0 changed, 0 removed, 300 unchanged, 0 failed\n");
  const std::string data = song(300);
  const int fd = open(t["music/download.part"].c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  const size_t chunk = data.size() / 10 + 1;
  auto last = Clock::now();
  bool quiet = false;  // a gap of a second (the machine is slow): the file may be stored
  for (size_t at = 0; at < data.size(); at += chunk) {
    const size_t n = std::min(chunk, data.size() - at);
    ASSERT_EQ(write(fd, data.data() + at, n), static_cast<ssize_t>(n));
    usleep(100000);
    const bool stored = mp4index({"show", t.db, t["music/download.part"]}).status == 0 ||
                        mp4index({"show", t.db, t["music/download.m4a"]}).status == 0;
    quiet = quiet || Clock::now() - last > std::chrono::seconds(1);
    EXPECT_TRUE(quiet || !stored) << "stored while written, at byte " << at;
    last = Clock::now();
  }
  t.run("mv music/download.part music/download.m4a");
  t.expectConverges({t["music"]}, "written, still open, renamed");
  // Closed, then written again through a descriptor that stays open.
  close(fd);
  const int again = open(t["music/download.m4a"].c_str(), O_WRONLY | O_APPEND);
  ASSERT_EQ(write(again, "more", 4), 4);
  t.expectConverges({t["music"]}, "written again, still open");
  // A burst is written in a few transactions, each summed up once.
  const auto lines = [&] {
    const std::string out = w->out();
    return std::count(out.begin(), out.end(), '\n');
  };
  const auto before = lines();
  std::vector<std::string> songs;
  for (int i = 0; i < 100; ++i) songs.push_back(song(i));
  for (int i = 0; i < 100; ++i) t.dir.write("music/burst/" + std::to_string(i) + ".m4a", songs[i]);
  t.expectConverges({t["music"]}, "a burst");
  EXPECT_LT(lines() - before, 10) << w->out();
  // A signal writes what was gathered to the end, even what it has not
  // read yet (the watcher stopped meanwhile): a file closed, one moved out.
  close(again);
  kill(w->pid(), SIGSTOP);
  t.dir.write("music/last.m4a", song(301));
  t.run("mkdir outside && mv music/0.m4a outside/");
  kill(w->pid(), SIGTERM);
  EXPECT_EQ(w->stop(SIGCONT), 0) << w->err();
  t.expectConverges({t["music"]}, "stopped right after changes");
}

TEST(Mp4indexWatch, AnOverflowOrTheWatchLimitFallsBackToScans) {
  Tree t;
  t.dir.write("music/first.m4a", song(0));
  t.dir.write("music/sub/a.txt", "a");
  t.dir.write("music/out/b.txt", "b");
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
    t.run("mv music/sub music/sub2 && mkdir outside && mv music/out outside/");
    kill(w.pid(), SIGCONT);
    t.expectConverges({t["music"]}, "after an overflow");
    EXPECT_NE(w.err().find("queue of file events overflowed"), std::string::npos) << w.err();
    EXPECT_EQ(watchesOf(w.pid()), foldersUnder({t["music"]}));
    t.dir.write("music/sub2/c.txt", "c");
    t.expectConverges({t["music"]}, "a folder renamed during an overflow");
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
  // No inotify instance to be had.
  Watcher none(t.dir.path(), {t.db, t["music"]}, "max_inotify_instances 0");
  EXPECT_EQ(none.stop(0), 1);
  EXPECT_NE(none.err().find("cannot follow the folders: inotify: Too many open files (the inotify "
                            "instances of a user are limited by fs.inotify.max_user_instances)"),
            std::string::npos)
      << none.err();

  // One watch, the root's: every other folder is found by the rescans
  // alone, renamed or not, and a folder made at the limit is told of.
  for (int i = 0; i < 10; ++i) t.dir.write("music/d" + std::to_string(i) + "/a.m4a", song(i));
  Watcher w(t.dir.path(), {t.db, t["music"], "--rescan-interval=1"}, "max_inotify_watches 1");
  ASSERT_TRUE(w.ready()) << w.err();
  const std::string told =
      "the limit of inotify watches (user.max_inotify_watches = 1) is reached: 11 folders are "
      "not watched, and are rescanned every 1 s instead; raise the limit to watch them all "
      "(sysctl user.max_inotify_watches=N)";
  EXPECT_NE(w.err().find(told), std::string::npos) << w.err();
  t.run("for d in music/d*; do cp music/first.m4a $d/b.m4a; done");
  t.expectConverges({t["music"]}, "folders left unwatched");
  t.run("mv music/d1 music/d1x");
  t.expectConverges({t["music"]}, "an unwatched folder renamed");
  t.run("printf x > music/d1x/c.txt && printf y > music/d2/c.txt");
  t.expectConverges({t["music"]}, "written in unwatched folders");
  t.run("mkdir music/new && cp music/first.m4a music/new/");
  t.expectConverges({t["music"]}, "a folder made at the limit");
  EXPECT_TRUE(waitFor([&] { return w.err().find("reached: 12 folders") != std::string::npos; }))
      << w.err();
  const std::string err = w.err();
  EXPECT_EQ(err.find(told), err.rfind(told)) << "said once: " << err;
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
      {{"--quiet-period", "+5", t["music"]}, "invalid quiet period '+5'"},
      {{t.db, t["music"], "--quiet-period=1a"}, "invalid quiet period '1a'"},
      {{t.db, "--quiet-period=86401", t["music"]},
       "invalid quiet period '86401' (expected 1 to 86400 seconds)"},
      // Values at either end are taken, and an option after -- is a folder.
      {{t.db, "--quiet-period", "86400", "--rescan-interval=9", "--", "--quiet-period"},
       "--quiet-period: No such file or directory"},
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
