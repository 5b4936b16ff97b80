// mp4index on PostgreSQL: the files of many sources in one index, writers
// of several sources at once, a server restarted under a writer, hostile
// paths and terms, and tables that are no index of ours.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <set>
#include <sstream>

#include "pg_database.h"
#include "test_files.h"

namespace {

using hosttest::RunResult;

RunResult mp4index(const std::vector<std::string>& args, const hosttest::RunOptions& options = {}) {
  return hosttest::runTool(MP4INDEX_PATH, args, options);
}

// The lines of text; JSON objects without their "source" member, which
// mp4meta's have not.
std::set<std::string> lines(const std::string& text) {
  std::set<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, 11, "{\"source\": ") == 0) line = "{" + line.substr(line.find(", ") + 2);
    out.insert(line);
  }
  return out;
}

pid_t start(std::vector<std::string> args, const std::string& out = "/dev/null") {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives a test that failed hard
  freopen(out.c_str(), "w", stdout);
  setenv("STRIGI_PLUGIN_PATH", MP4_MODULE_DIR, 1);
  std::vector<char*> argv{const_cast<char*>(MP4INDEX_PATH)};
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  execv(MP4INDEX_PATH, argv.data());
  _exit(127);
}

int finish(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Waits for done(), for a minute at most.
bool waitFor(const std::function<bool()>& done) {
  for (int tries = 0; tries < 3000; ++tries) {
    if (done()) return true;
    usleep(20000);
  }
  return false;
}

// 300 songs and videos in seven folders under root.
void collection(const hosttest::TempDir& dir, const std::string& folder) {
  const std::string song = hosttest::taggedSong("Song", 2), video = hosttest::videoFile(640, 480);
  for (int i = 0; i < 300; ++i) {
    dir.write(folder + "/" + std::to_string(i % 7) + "/" + std::to_string(i) + ".mp4",
              i % 3 ? song : video);
  }
}

TEST(Postgres, EachSourceKeepsItsOwnFiles) {
  REQUIRE_PG_SERVER();
  const pgtest::Database db;
  hosttest::TempDir dir;
  const std::string root = dir.path() + "/music", a = root + "/a.m4a", b = root + "/b.m4a";
  dir.write("music/a.m4a", hosttest::taggedSong("Alpha", 3));
  dir.write("music/b.m4a", hosttest::taggedSong("Beta", 3));
  hosttest::RunOptions laptop;
  laptop.environment = {{"MP4INDEX_SOURCE", "laptop"}};
  ASSERT_EQ(mp4index({"update", db.name(), root}, laptop).status, 0);
  ASSERT_EQ(unlink(b.c_str()), 0);
  // The same folder on another machine, without b: laptop's b stays.
  ASSERT_EQ(mp4index({"update", "--source", "nas", db.name(), root}).status, 0);
  const std::string both = "laptop:" + a + "\n" + a + "\nlaptop:" + b + "\n";
  EXPECT_EQ(mp4index({"search", "--source", "nas", db.name(), "title:alpha", "OR", "beta"}).out,
            both);
  EXPECT_EQ(mp4index({"search", db.name(), "source:laptop"}, laptop).out, a + "\n" + b + "\n");
  // The index from the environment (a term with '=' is no connection
  // string) and as a URI.
  laptop.environment.push_back({"MP4INDEX_DB", db.name()});
  EXPECT_EQ(mp4index({"search", "title=Alpha", "source=laptop"}, laptop).out, a + "\n");
  const std::string uri = "postgresql:///" + db.name().substr(db.name().rfind('=') + 1) +
                          "?host=" MP4INDEX_TEST_PG_DIR "&user=mp4index";
  EXPECT_EQ(mp4index({"search", "--index", uri, "-source:laptop"}).out, "nas:" + a + "\n");
  const RunResult json = mp4index({"search", db.name(), "--json", "source=nas"}, laptop);
  const std::string head = "{\"source\": \"nas\", \"path\": \"" + a + "\", ";
  EXPECT_EQ(json.out.substr(0, head.size()), head);
  EXPECT_EQ(mp4index({"search", db.name(), "--fields", "source,name", "-source:laptop"}).out,
            "source\tname\nnas\ta.m4a\n");
  EXPECT_EQ(mp4index({"show", "--source", "nas", db.name(), "laptop:" + b}).status, 0);
  const RunResult gone = mp4index({"show", "--source", "nas", db.name(), b});
  EXPECT_EQ(gone.status, 1);
  EXPECT_EQ(gone.err, "mp4index: " + b + ": not in the index\n");
  EXPECT_EQ(mp4index({"update", "--source", "a:b", db.name(), root}).status, 2);
}

TEST(Postgres, HostilePathsAndTermsAreStoredAndFoundExactly) {
  REQUIRE_PG_SERVER();
  const pgtest::Database db;
  hosttest::TempDir dir;
  const std::string song = hosttest::taggedSong("O'Brien \"\\\" $1 %s", 3);
  const std::vector<std::string> names = {"it's \"quoted\".m4a",         "back\\slash.m4a",
                                          "'; DROP TABLE files; --.m4a", "ctl\x01\x7f.m4a",
                                          "latin\xe9\xff.m4a",           "$1::bytea.m4a"};
  std::vector<std::string> paths;
  for (const std::string& name : names) paths.push_back(dir.write("h/" + name, song));
  // Longer than an index entry of PostgreSQL may be.
  std::string deep = "h";
  for (int i = 0; i < 16; ++i) deep += "/" + std::string(200, static_cast<char>('a' + i));
  paths.push_back(dir.write(deep + "/deep.m4a", song));
  ASSERT_EQ(mp4index({"update", db.name(), dir.path() + "/h"}).status, 0);
  for (const std::string& path : paths) {
    const RunResult shown = mp4index({"show", "--json", db.name(), path});
    EXPECT_EQ(shown.status, 0) << path;
    EXPECT_NE(shown.out.find("O'Brien \\\"\\\\\\\" $1 %s"), std::string::npos) << shown.out;
  }
  const std::pair<std::string, std::string> counts[] = {{"title:\"o'brien\"", "7\n"},
                                                        {"name:drop", "1\n"},
                                                        {"name:latin*", "1\n"},
                                                        {"'; DROP TABLE files; --", "0\n"},
                                                        {"title=O'Brien \"\\\" $1 %s", "7\n"},
                                                        {"title:\") OR TRUE OR (\"", "0\n"},
                                                        {"source:x' OR 'a'='a", "0\n"}};
  for (const auto& [term, count] : counts) {
    EXPECT_EQ(mp4index({"search", db.name(), "--count", term}).out, count) << term;
  }
  EXPECT_EQ(mp4index({"search", db.name(), "--count", "has:title"}).out, "7\n");
  EXPECT_EQ(mp4index({"search", db.name(), "name:deep"}).out, paths.back() + "\n");
}

TEST(Postgres, TablesThatAreNoIndexOfOursAreLeftAlone) {
  REQUIRE_PG_SERVER();
  const pgtest::Database empty, foreign, older;
  const RunResult none = mp4index({"search", empty.name(), "x"});
  EXPECT_EQ(none.status, 1);
  EXPECT_NE(none.err.find("there is no index in this database yet"), std::string::npos);
  EXPECT_EQ(foreign.sql("CREATE TABLE files(x int)"), "");
  hosttest::TempDir dir;
  const std::string song = dir.write("a.m4a", hosttest::taggedSong("Alpha", 3));
  const RunResult refused = mp4index({"update", foreign.name(), song});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("tables (files) that are not an mp4index index"), std::string::npos)
      << refused.err;
  EXPECT_EQ(foreign.sql("SELECT count(*) FROM pg_tables WHERE schemaname = 'public'"), "1");
  ASSERT_EQ(mp4index({"update", older.name(), song}).status, 0);
  older.sql("UPDATE meta SET value = '0' WHERE name = 'version'");
  EXPECT_NE(mp4index({"update", older.name(), song}).err.find("schema version 0"),
            std::string::npos);
  // An index of version 1 gains its counts of files.
  older.sql("DROP TABLE counts");
  older.sql("UPDATE meta SET value = '1' WHERE name = 'version'");
  EXPECT_EQ(mp4index({"search", older.name(), "--count", "-title"}).out, "0\n");
  EXPECT_EQ(mp4index({"search", older.name(), "--count", "has:title"}).out, "1\n");
  EXPECT_EQ(older.sql("SELECT value FROM meta WHERE name = 'version'"), "2");
  // An error that no new try mends ends the update at once.
  older.sql(
      "CREATE FUNCTION refuse() RETURNS trigger LANGUAGE plpgsql AS "
      "$$BEGIN RAISE 'no new files here'; END$$");
  older.sql("CREATE TRIGGER refuse BEFORE INSERT ON files EXECUTE FUNCTION refuse()");
  dir.write("a.m4a", hosttest::taggedSong("Changed", 4));
  const RunResult stopped = mp4index({"update", older.name(), song});
  EXPECT_EQ(stopped.status, 1);
  EXPECT_EQ(stopped.err, "mp4index: " + older.name() + ": no new files here\n");
  // A password never shows in a message.
  const RunResult masked =
      mp4index({"search", "postgresql://mp4index:secret@/nosuch?host=" MP4INDEX_TEST_PG_DIR, "x"});
  EXPECT_EQ(masked.status, 1);
  EXPECT_EQ(masked.err.find("secret"), std::string::npos) << masked.err;
  EXPECT_NE(masked.err.find("mp4index:***@"), std::string::npos) << masked.err;
}

// A watcher on the index follows a file added, renamed and removed, also
// after the server ended its connection, and leaves another source's files
// under the same folder alone.
TEST(Postgres, WatchFollowsEachChange) {
  REQUIRE_PG_SERVER();
  const pgtest::Database db;
  hosttest::TempDir dir;
  const std::string root = dir.path() + "/music", a = root + "/a.m4a", out = dir.path() + "/out";
  dir.write("music/a.m4a", hosttest::taggedSong("Alpha", 3));
  ASSERT_EQ(mp4index({"update", "--source", "nas", db.name(), root}).status, 0);
  const pid_t watcher = start({"watch", "--source", "laptop", db.name(), root}, out);
  const auto found = [&](const std::string& term, const std::string& want) {
    std::string got;
    const bool same = waitFor([&] {
      return (got = mp4index({"search", "--source", "laptop", db.name(), term}).out) == want;
    });
    EXPECT_EQ(got, want) << term;
    return same;
  };
  // The first line comes once every change is followed.
  ASSERT_TRUE(waitFor([&] {
    std::ifstream in(out);
    std::string line;
    return static_cast<bool>(std::getline(in, line));
  }));
  ASSERT_TRUE(found("title:alpha", a + "\nnas:" + a + "\n"));
  dir.write("music/b.m4a", hosttest::taggedSong("Beta", 3));
  EXPECT_TRUE(found("title:beta", root + "/b.m4a\n"));
  ASSERT_EQ(rename((root + "/b.m4a").c_str(), (root + "/c.m4a").c_str()), 0);
  EXPECT_TRUE(found("title:beta", root + "/c.m4a\n"));
  // The server ends the idle watcher's connection: the next change makes another.
  EXPECT_EQ(db.sql("SELECT bool_or(pg_terminate_backend(pid)) FROM pg_stat_activity WHERE "
                   "datname = current_database() AND pid <> pg_backend_pid()"),
            "t");
  ASSERT_EQ(unlink(a.c_str()), 0);
  EXPECT_TRUE(found("title:alpha", "nas:" + a + "\n"));
  kill(watcher, SIGTERM);
  EXPECT_EQ(finish(watcher), 0);
}

// Three machines, two processes on the first, overlapping and disjoint
// folders: every file of every source stored once, as mp4meta reads it.
TEST(Postgres, ThreeMachinesWriteAtOnce) {
  REQUIRE_PG_SERVER();
  const pgtest::Database db;
  hosttest::TempDir dir;
  collection(dir, "music");
  const std::string root = dir.path() + "/music";
  const std::set<std::string> whole = lines(hosttest::runMp4meta({"--json", root}).out),
                              third = lines(hosttest::runMp4meta({"--json", root + "/3"}).out);
  const pid_t writers[] = {start({"update", "--source", "m1", db.name(), root}),
                           start({"update", "--source", "m1", db.name(), root + "/1", "-j1"}),
                           start({"update", "--source", "m2", db.name(), root}),
                           start({"update", "--source", "m3", db.name(), root + "/3"})};
  for (pid_t pid : writers) EXPECT_EQ(finish(pid), 0);
  for (const char* source : {"m1", "m2", "m3"}) {
    const RunResult shown = mp4index({"show", "--json", "--source", source, db.name(), root});
    EXPECT_EQ(lines(shown.out), source[1] == '3' ? third : whole) << source;
  }
  EXPECT_EQ(mp4index({"search", db.name(), "--count", "has:type"}).out,
            std::to_string(2 * whole.size() + third.size()) + "\n");
}

// An update's connection is cut in the middle of a batch, by the server
// ending it and by a restart of the server (one of the test's own): the
// update connects again, writes the batch again and leaves every file
// stored once.
TEST(Postgres, AWriterWhoseConnectionIsCutFinishesItsWork) {
  REQUIRE_PG_SERVER();
  hosttest::TempDir dir;
  collection(dir, "music");
  const std::string root = dir.path() + "/music", server = MP4INDEX_TEST_PG_DIR "-cut";
  const std::string script = "sh " PG_SERVER_SCRIPT " ";
  ASSERT_EQ(system((script + "start " + server).c_str()), 0);
  const std::set<std::string> whole = lines(hosttest::runMp4meta({"--json", root}).out);
  for (const char* cut : {"SELECT pg_terminate_backend(pid)", "restart"}) {
    const pgtest::Database db(server);
    const pid_t writer = start({"update", db.name(), root, "-j1"});
    std::string pid;
    for (int tries = 0; tries < 2000 && pid.empty(); ++tries) {
      pid = db.sql(
          "SELECT pid FROM pg_stat_activity WHERE application_name = 'mp4index' "
          "AND backend_xid IS NOT NULL AND query LIKE 'INSERT INTO files%'");
      usleep(2000);
    }
    ASSERT_FALSE(pid.empty()) << "no batch seen";
    if (cut[0] == 'S') {
      EXPECT_EQ(db.sql(std::string(cut) + " FROM pg_stat_activity WHERE pid = " + pid), "t");
    } else {
      ASSERT_EQ(system((script + "restart " + server).c_str()), 0);
    }
    EXPECT_EQ(finish(writer), 0) << cut;
    EXPECT_EQ(lines(mp4index({"show", "--json", db.name(), root}).out), whole) << cut;
    EXPECT_EQ(mp4index({"search", db.name(), "--count", "has:type"}).out,
              std::to_string(whole.size()) + "\n");
  }
  system((script + "stop " + server).c_str());
}

}  // namespace
