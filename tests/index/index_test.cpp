// mp4index run as a user runs it: over a generated collection that changes
// between updates, with every query form, bad indexes, unreadable folders,
// updates killed part-way and searches while an update writes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "test_files.h"

namespace {

using hosttest::RunOptions;
using hosttest::RunResult;
using hosttest::TempDir;

RunResult mp4index(const std::vector<std::string>& args, const RunOptions& options = {}) {
  return hosttest::runTool(MP4INDEX_PATH, args, options);
}

std::string summary(int added, int changed, int removed, int unchanged, int failed) {
  std::ostringstream s;
  s << added << " added, " << changed << " changed, " << removed << " removed, " << unchanged
    << " unchanged, " << failed << " failed\n";
  return s.str();
}

std::set<std::string> lineSet(const std::string& text) {
  std::set<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.insert(line);
  return lines;
}

// What the index holds must be what mp4meta reports, in both formats.
void expectShowEqualsMp4meta(const std::string& db, const std::string& dir) {
  EXPECT_EQ(mp4index({"show", db, dir}).out, hosttest::runMp4meta({dir}).out);
  EXPECT_EQ(mp4index({"show", "--json", db, dir}).out, hosttest::runMp4meta({"--json", dir}).out);
}

struct Collection {
  TempDir dir;
  std::string db = dir.path() + "/index.db";
  std::string root = dir.mkdir("music");
  Collection() {
    dir.write("music/album/a.m4a", hosttest::taggedSong("Alpha One", 3));
    dir.write("music/album/b.m4a", hosttest::taggedSong("Beta Two", 5));
    dir.write("music/video/wide.mp4", hosttest::videoFile(1920, 1080));
    dir.write("music/video/small.mp4", hosttest::videoFile(320, 240));
    dir.write("music/caf\xe9.m4a", hosttest::taggedSong("Gamma Alpha", 4));
    dir.write("music/notes.txt", "alpha beta\n");
  }
  std::string search(const std::vector<std::string>& terms) const {
    std::vector<std::string> args{"search", db};
    args.insert(args.end(), terms.begin(), terms.end());
    const RunResult run = mp4index(args);
    EXPECT_EQ(run.status, 0) << run.err;
    std::string names;
    std::istringstream in(run.out);
    for (std::string line; std::getline(in, line);) {
      names += line.substr(root.size() + 1) + ' ';
    }
    return names;
  }
};

void execute(const std::string& db, const char* sql) {
  sqlite3* handle = nullptr;
  ASSERT_EQ(sqlite3_open(db.c_str(), &handle), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(handle, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sql;
  sqlite3_close(handle);
}

int64_t count(const std::string& db, const char* table) {
  sqlite3* handle = nullptr;
  sqlite3_stmt* statement = nullptr;
  sqlite3_open(db.c_str(), &handle);
  sqlite3_prepare_v2(handle, (std::string("SELECT count(*) FROM ") + table).c_str(), -1, &statement,
                     nullptr);
  const int64_t n = sqlite3_step(statement) == SQLITE_ROW ? sqlite3_column_int64(statement, 0) : -1;
  sqlite3_finalize(statement);
  sqlite3_close(handle);
  return n;
}

TEST(Mp4index, UpdatesFollowTheCollection) {
  Collection c;
  // An index under a root is not a file of the collection.
  const std::string inside = c.root + "/inside.db";
  EXPECT_EQ(mp4index({"update", inside, c.root}).out, summary(6, 0, 0, 0, 0));
  EXPECT_EQ(mp4index({"update", inside, c.root}).out, summary(0, 0, 0, 6, 0));
  unlink(inside.c_str());

  RunResult run = mp4index({"update", c.db, c.root});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, summary(6, 0, 0, 0, 0));
  expectShowEqualsMp4meta(c.db, c.root);
  EXPECT_EQ(mp4index({"update", c.db, c.root, "--jobs", "2"}).out, summary(0, 0, 0, 6, 0));

  c.dir.write("music/album/b.m4a", hosttest::taggedSong("Beta Three", 6));
  unlink((c.root + "/video/small.mp4").c_str());
  c.dir.write("music/album/c.m4a", hosttest::taggedSong("Delta", 2));
  // A file named in a list, outside the roots, is added; updating only a
  // subfolder leaves the rest alone.
  const std::string extra = c.dir.write("extra.m4a", hosttest::taggedSong("Extra", 1));
  const std::string list = c.dir.write("list", extra + "\n");
  run = mp4index({"update", c.db, c.root + "/album/", "--files-from", list});
  EXPECT_EQ(run.out, summary(2, 1, 0, 1, 0)) << run.err;
  run = mp4index({"update", c.db, c.root});
  EXPECT_EQ(run.out, summary(0, 0, 1, 6, 0)) << run.err;
  EXPECT_EQ(c.search({"three"}), "album/b.m4a ");
  EXPECT_EQ(c.search({"beta"}), "album/b.m4a ");
  EXPECT_EQ(c.search({"two"}), "");  // the old title's words left the full-text index
  expectShowEqualsMp4meta(c.db, c.root);
  run = mp4index({"show", c.db, extra, c.root + "/gone.m4a"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("audio.title: Extra"), std::string::npos);
  EXPECT_NE(run.err.find("gone.m4a: not in the index"), std::string::npos) << run.err;

  // Every song has the same cover: it is stored once, and goes with the
  // last file that holds it.
  EXPECT_EQ(count(c.db, "blobs"), 1);
  ASSERT_EQ(std::system(("rm -r '" + c.root + "'").c_str()), 0);
  EXPECT_EQ(mp4index({"update", c.db, c.root}).out, summary(0, 0, 6, 0, 0));
  EXPECT_EQ(count(c.db, "blobs"), 1);
  unlink(extra.c_str());
  EXPECT_EQ(mp4index({"update", c.db, "--files-from", list}).out, summary(0, 0, 1, 0, 0));
  EXPECT_EQ(count(c.db, "blobs"), 0);
  EXPECT_EQ(count(c.db, "nums"), 0);
}

TEST(Mp4index, EachQueryForm) {
  Collection c;
  ASSERT_EQ(mp4index({"update", c.db, c.root}).status, 0);
  const struct {
    std::vector<std::string> terms;
    std::string names;
  } cases[] = {
      {{"alpha"}, "album/a.m4a caf\\xe9.m4a "},
      {{"ALPHA", "one"}, "album/a.m4a "},
      {{"audio.title:gamma"}, "caf\\xe9.m4a "},
      {{"audio.title:alpha one"}, "album/a.m4a "},
      {{"audio.title=Alpha One"}, "album/a.m4a "},
      {{"audio.title=alpha one"}, ""},
      {{"media.duration=5"}, "album/b.m4a "},
      {{"image.width>=1920"}, "video/wide.mp4 "},
      {{"image.width>1920"}, ""},
      {{"image.width<1920"}, "video/small.mp4 "},
      {{"image.width<=320", "image.width>=320"}, "video/small.mp4 "},
      {{"-content.thumbnail"}, "notes.txt video/small.mp4 video/wide.mp4 "},
      {{"missing:content.thumbnail", "image.width>0"}, "video/small.mp4 video/wide.mp4 "},
      {{"alpha", "-audio.title"}, ""},
  };
  for (const auto& t : cases) {
    EXPECT_EQ(c.search(t.terms), t.names) << t.terms[0];
  }
  const RunResult json = mp4index({"search", "--json", c.db, "audio.title:beta"});
  EXPECT_EQ(json.out, hosttest::runMp4meta({"--json", c.root + "/album/b.m4a"}).out);

  // Text with no word in it is found by reading the reports.
  c.dir.write("music/dash.m4a", hosttest::taggedSong("\u2013", 2));
  ASSERT_EQ(mp4index({"update", c.db, c.root}).status, 0);
  EXPECT_EQ(c.search({"audio.title=\u2013"}), "dash.m4a ");
  // A report damaged on disk is an error, not a crash.
  execute(c.db, "UPDATE files SET report = x'0501'");
  const RunResult damaged = mp4index({"show", c.db, c.root});
  EXPECT_EQ(damaged.status, 1);
  EXPECT_NE(damaged.err.find("damaged index"), std::string::npos) << damaged.err;

  for (const std::string bad : {"image.width>wide", "audio.title:", "", "missing:9x"}) {
    const RunResult run = mp4index({"search", c.db, bad});
    EXPECT_EQ(run.status, 2) << bad;
    EXPECT_NE(run.err.find("term '" + bad + "'"), std::string::npos) << run.err;
  }
}

TEST(Mp4index, RefusesWhatIsNotItsIndexAndChangesNothing) {
  Collection c;
  const std::string song = c.root + "/album/a.m4a";
  const std::string newer = c.dir.path() + "/newer.db";
  ASSERT_EQ(mp4index({"update", newer, song}).status, 0);
  execute(newer, "PRAGMA user_version = 3");
  const std::string other = c.dir.path() + "/other.db";
  execute(other, "CREATE TABLE notes(text)");
  const std::string text = c.dir.write("text.db", "not a database, only some text\n");
  const struct {
    std::string db;
    std::string message;
  } cases[] = {
      {c.dir.path() + "/missing/index.db", "folder " + c.dir.path() + "/missing does not exist"},
      {text, "not an SQLite database"},
      {other, "of another application"},
      {newer, "newer mp4index (schema version 3"},
  };
  for (const auto& t : cases) {
    const bool exists = access(t.db.c_str(), F_OK) == 0;
    const std::string before = exists ? mp4test::readFile(t.db) : "";
    RunResult run = mp4index({"update", t.db, song});
    EXPECT_EQ(run.status, 1) << t.db;
    EXPECT_NE(run.err.find(t.db + ": "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(t.message), std::string::npos) << run.err;
    run = mp4index({"search", t.db, "alpha"});
    EXPECT_EQ(run.status, 1) << t.db;
    EXPECT_NE(run.err.find(t.db + ": "), std::string::npos) << run.err;
    if (exists) {
      EXPECT_EQ(mp4test::readFile(t.db), before) << t.db;
    }
  }
  // An index of an earlier version is rebuilt by an update, not searched.
  execute(newer, "PRAGMA user_version = 1");
  RunResult run = mp4index({"search", newer, "alpha"});
  EXPECT_NE(run.err.find("schema version 1): run 'mp4index update'"), std::string::npos) << run.err;
  run = mp4index({"update", newer, song});
  EXPECT_EQ(run.out, summary(1, 0, 0, 0, 0)) << run.err;
  EXPECT_NE(run.err.find("schema version 1), rebuilt"), std::string::npos) << run.err;
  EXPECT_EQ(mp4index({"search", newer, "alpha"}).out, song + "\n");
}

TEST(Mp4index, WhatCannotBeReadOrWrittenKeepsWhatIsStored) {
  Collection c;
  chmod(c.dir.path().c_str(), 0777);
  RunOptions nobody;
  nobody.asNobody = true;
  ASSERT_EQ(mp4index({"update", c.db, c.root}, nobody).out, summary(6, 0, 0, 0, 0));
  chmod((c.root + "/album").c_str(), 0);
  const RunResult run = mp4index({"update", c.db, c.root}, nobody);
  chmod((c.root + "/album").c_str(), 0755);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, summary(0, 0, 0, 4, 1));
  EXPECT_NE(run.err.find("album: Permission denied"), std::string::npos) << run.err;
  EXPECT_EQ(c.search({"audio.title:beta"}), "album/b.m4a ");

  // An index that cannot be written stops the update with the reason.
  c.dir.write("music/album/b.m4a", hosttest::taggedSong("Beta Three", 6));
  chmod(c.db.c_str(), 0444);
  const RunResult readOnly = mp4index({"update", c.db, c.root}, nobody);
  EXPECT_EQ(readOnly.status, 1);
  EXPECT_NE(readOnly.err.find(c.db + ": attempt to write a readonly database"), std::string::npos)
      << readOnly.err;
  EXPECT_EQ(c.search({"audio.title:beta"}), "album/b.m4a ");
}

pid_t startUpdate(const std::string& db, const std::string& root) {
  const pid_t pid = fork();
  if (pid == 0) {
    freopen("/dev/null", "w", stdout);
    setenv("STRIGI_PLUGIN_PATH", MP4_MODULE_DIR, 1);
    execl(MP4INDEX_PATH, MP4INDEX_PATH, "update", db.c_str(), root.c_str(), "--jobs", "2",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

struct BigCollection {
  TempDir dir;
  std::string root = dir.mkdir("music");
  BigCollection() {
    const std::string song = hosttest::taggedSong("Song", 2);
    const std::string video = hosttest::videoFile(640, 480);
    for (int i = 0; i < 300; ++i) {
      dir.write("music/" + std::to_string(i % 7) + "/" + std::to_string(i) + ".mp4",
                i % 3 ? song : video);
    }
  }
};

TEST(Mp4index, KilledUpdateLeavesWholeFilesAndTheNextOneFinishes) {
  BigCollection c;
  const std::string reference = c.dir.path() + "/reference.db";
  ASSERT_EQ(mp4index({"update", reference, c.root}).status, 0);
  const std::set<std::string> whole = lineSet(mp4index({"show", "--json", reference, c.root}).out);
  ASSERT_EQ(whole.size(), 300u);
  std::mt19937 random(7);
  const std::string db = c.dir.path() + "/index.db";
  for (int round = 0; round < 20; ++round) {
    for (const char* suffix : {"", "-wal", "-shm"}) unlink((db + suffix).c_str());
    const pid_t pid = startUpdate(db, c.root);
    usleep(std::uniform_int_distribution<useconds_t>(0, 30000)(random));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    sqlite3* handle = nullptr;
    if (sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
      sqlite3_stmt* check = nullptr;
      ASSERT_EQ(sqlite3_prepare_v2(handle, "PRAGMA integrity_check", -1, &check, nullptr),
                SQLITE_OK);
      ASSERT_EQ(sqlite3_step(check), SQLITE_ROW);
      EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(check, 0)), "ok");
      sqlite3_finalize(check);
      // The full-text index too, once the schema is there.
      if (sqlite3_exec(handle, "INSERT INTO vals_text(vals_text) VALUES('integrity-check')",
                       nullptr, nullptr, nullptr) != SQLITE_OK) {
        EXPECT_STREQ(sqlite3_errmsg(handle), "no such table: vals_text");
      }
    }
    sqlite3_close(handle);
    for (const std::string& line : lineSet(mp4index({"show", "--json", db, c.root}).out)) {
      EXPECT_EQ(whole.count(line), 1u) << "round " << round << ": " << line;
    }
    ASSERT_EQ(mp4index({"update", db, c.root}).status, 0);
    EXPECT_EQ(lineSet(mp4index({"show", "--json", db, c.root}).out), whole) << round;
  }
}

TEST(Mp4index, SearchDuringAnUpdateSeesWholeBatches) {
  BigCollection c;
  const std::string db = c.dir.path() + "/index.db";
  ASSERT_EQ(mp4index({"update", db, c.dir.mkdir("empty")}).status, 0);
  const pid_t pid = startUpdate(db, c.root);
  size_t seen = 0;
  int status = 0;
  for (int polls = 0; waitpid(pid, &status, WNOHANG) == 0; ++polls) {
    const RunResult run = mp4index({"search", db, "image.width=640"});
    ASSERT_EQ(run.status, 0) << run.err;
    const size_t found = lineSet(run.out).size();
    EXPECT_GE(found, seen);
    seen = found;
  }
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(lineSet(mp4index({"search", db, "image.width=640"}).out).size(), 100u);
}

}  // namespace
